#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

// The one seam between the program and the operating system's files. Paths are UTF-8 text
// inside the program; a backend converts them where its system wants another form. No OS type
// appears here: the build links exactly one backend (platform/<os>/).
//
// Every function that fails leaves the system's own words for the failure in LastError(),
// which belongs to the calling thread.
namespace FileSystem {

// Permission bits as the familiar rwxrwxrwx triple (0755 and so on).
constexpr unsigned kOwnerRead = 0400;
constexpr unsigned kOwnerWrite = 0200;
constexpr unsigned kExecuteBits = 0111;

// Why the last failed call of this thread failed ("No such file or directory").
std::string LastError();

bool IsRegularFile(const std::string& path);
bool IsDirectory(const std::string& path);
// The size of a regular file; false when there is none.
bool FileSize(const std::string& path, std::uint64_t& size);

// Reads a regular file to its end. False, with `data` untouched, when it is missing, is not a
// regular file, holds more than `maxBytes` or cannot be read.
bool ReadWholeFile(const std::string& path, std::string& data,
                   std::uint64_t maxBytes = std::numeric_limits<std::uint64_t>::max());
// Creates the file or replaces its content.
bool WriteWholeFile(const std::string& path, const std::string& data);
// Appends all of `data` in one write, so that lines appended by several writers stay whole.
// A new file gets `newFileBits` (less what the system masks). A write that fails half-way is
// cut back to the file's former length when `cutBack` is set; a file that others append to
// too must never be cut back, since their lines may follow.
bool AppendToFile(const std::string& path, const std::string& data, unsigned newFileBits = 0666,
                  bool cutBack = true);
// Appends one line to a file that other threads, processes and machines append to as well. The
// whole file is locked for the append (a record lock on POSIX, which NFS honours through its lock
// manager; LockFileEx on Windows), waiting at most `lockWaitMs` for another writer; when the lock
// cannot be had, or the file system has no locks, nothing is written and the call fails. A file
// that does not end in a line end (a write cut short by a full disk) gets one first, so that the
// fragment stays a line of its own. Nothing is ever cut back.
bool AppendLine(const std::string& path, const std::string& line, unsigned newFileBits,
                int lockWaitMs);
bool Truncate(const std::string& path, std::uint64_t length);
bool RemoveFile(const std::string& path);
// Moves `from` to `to`. Without `replace` an existing `to` is never overwritten, not even one
// that appears while the move runs.
bool MoveFile(const std::string& from, const std::string& to, bool replace);

bool PermissionBits(const std::string& path, unsigned& bits);
bool SetPermissionBits(const std::string& path, unsigned bits);

// The system's folder for temporary files, ending with a separator.
std::string TempFolder();
// Creates a new empty file in `folder` whose name starts with `prefix` and that only its owner
// can read or write. Its full path, or empty on failure. The name is unique at creation, so no
// one can slip in a file of that name first.
std::string NewPrivateFile(const std::string& folder, const std::string& prefix);
// Creates a new empty folder in `folder` whose name starts with `prefix`, for its owner only.
std::string NewPrivateFolder(const std::string& folder, const std::string& prefix);
// Removes a folder and everything in it; true when nothing of it is left.
bool RemoveTree(const std::string& path);

// The system's own folder (the Windows folder; on POSIX systems the machine's configuration).
std::string SystemFolder();
// The full path of the running executable; empty when the system cannot tell.
std::string RunningExecutablePath();
// The folder separator this system prefers.
char Separator();

// The program's command line, the program's name first, as UTF-8: where paths enter the
// program. (Windows hands main() its arguments in the ANSI code page, which cannot carry
// every name.)
std::vector<std::string> Arguments(int argc, char** argv);

}  // namespace FileSystem
