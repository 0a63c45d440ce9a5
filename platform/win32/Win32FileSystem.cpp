// Files on Windows. Paths are UTF-8 inside the program and UTF-16 at every system call, so
// names outside the ANSI code page ("C:\Users\Zoë\Téléchargements") work.

// clang-format off
#include <windows.h>
#include <aclapi.h>    // the owner-only permissions of private files
#include <shellapi.h>  // the UTF-16 command line split into arguments
// clang-format on
// <windows.h> maps MoveFile to MoveFileW; the seam's function of that name is meant below.
#undef MoveFile

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "FileSystem.h"
#include "Win32Text.h"

namespace {

constexpr DWORD kChunkBytes = 65536;   // bytes per ReadFile / WriteFile of whole files
constexpr DWORD kLongestPath = 32768;  // UTF-16 units; no Windows path is longer
constexpr int kUniqueNameTries = 100;  // random names tried before giving up
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

thread_local std::string tLastError;

bool Fail(DWORD code) {
    tLastError = SystemErrorText(code);
    return false;
}

bool FailNow() {
    return Fail(GetLastError());
}

// Windows itself only says "access denied" when a folder is opened as a file.
bool FailOnFolder() {
    tLastError = "Is a folder";
    return false;
}

class Handle {
  public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() {
        if (Valid()) CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE Get() const { return handle_; }
    // Closes now, so that a failing close (data lost on a network drive) is seen.
    bool Close() {
        const HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return CloseHandle(handle) || FailNow();
    }

  private:
    HANDLE handle_;
};

HANDLE Open(const std::string& path, DWORD access, DWORD disposition, DWORD attributes = 0,
            SECURITY_ATTRIBUTES* security = nullptr) {
    return CreateFileW(Widen(path).c_str(), access, kShareAll, security, disposition,
                       attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool Attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
    return GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data) || FailNow();
}

bool WriteAll(HANDLE file, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(data.size() - done, kChunkBytes));
        DWORD put = 0;
        if (!WriteFile(file, data.data() + done, chunk, &put, nullptr)) return FailNow();
        if (put == 0) return Fail(ERROR_WRITE_FAULT);
        done += put;
    }
    return true;
}

// "CON", "NUL", "COM1", "LPT2.txt": names that open a device in every folder.
bool IsDeviceName(const std::string& path) {
    const auto slash = path.find_last_of("\\/:");
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    name = name.substr(0, name.find('.'));
    for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (name == "CON" || name == "PRN" || name == "AUX" || name == "NUL") return true;
    return name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0) &&
           name[3] >= '1' && name[3] <= '9';
}

bool IsExecutableName(const std::string& path) {
    const auto dot = path.find_last_of(".\\/");
    if (dot == std::string::npos || path[dot] != '.') return false;
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return extension == "exe" || extension == "com" || extension == "bat" || extension == "cmd";
}

std::string WithSeparator(std::string folder) {
    if (!folder.empty() && folder.back() != '\\' && folder.back() != '/') folder += '\\';
    return folder;
}

// The answer of a "fill this buffer" call such as GetTempPathW, whatever its length.
template <class Call>
std::string AskSystem(Call call) {
    std::wstring buffer(MAX_PATH + 1, L'\0');
    for (;;) {
        const DWORD n = call(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            FailNow();
            return {};
        }
        if (n < buffer.size()) {
            buffer.resize(n);
            return Narrow(buffer);
        }
        if (buffer.size() >= kLongestPath) return {};
        buffer.resize(kLongestPath);
    }
}

// The SID of the user this process runs as (DWORD elements keep it aligned); empty on failure.
std::vector<DWORD> CurrentUser() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<DWORD> info(size / sizeof(DWORD) + 1);
    const bool ok = size > 0 && GetTokenInformation(token, TokenUser, info.data(), size, &size);
    CloseHandle(token);
    if (!ok) return {};
    const PSID sid = reinterpret_cast<const TOKEN_USER*>(info.data())->User.Sid;
    std::vector<DWORD> copy(GetLengthSid(sid) / sizeof(DWORD) + 1);
    if (!CopySid(static_cast<DWORD>(copy.size() * sizeof(DWORD)), copy.data(), sid)) return {};
    return copy;
}

// A security descriptor that lets the current user, and no one else, at the file or folder:
// its one entry names the user, and "protected" keeps the parent folder's entries out.
class OwnerOnly {
  public:
    explicit OwnerOnly(bool forFolder) : user_(CurrentUser()) {
        if (user_.empty()) return;
        const PSID sid = user_.data();
        const DWORD aclBytes = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
        acl_.resize(aclBytes / sizeof(DWORD) + 1);
        const auto acl = reinterpret_cast<PACL>(acl_.data());
        const DWORD inherit = forFolder ? OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE : 0;
        ok_ = InitializeAcl(acl, aclBytes, ACL_REVISION) &&
              AddAccessAllowedAceEx(acl, ACL_REVISION, inherit, GENERIC_ALL, sid) &&
              InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
              SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
              SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
        attributes_ = {sizeof attributes_, &descriptor_, FALSE};
    }
    // Null when the descriptor could not be made (GetLastError says why).
    SECURITY_ATTRIBUTES* Get() { return ok_ ? &attributes_ : nullptr; }
    PACL Acl() { return reinterpret_cast<PACL>(acl_.data()); }

  private:
    std::vector<DWORD> user_;  // the user's SID
    std::vector<DWORD> acl_;   // DWORD elements keep the list aligned
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
    bool ok_ = false;
};

// Tries random names "<folder>\<prefix><8 hex digits><suffix>" until `create` makes one that
// did not exist. The creating call itself refuses existing names, so no one can slip in.
template <class Create>
std::string CreateUnique(const std::string& folder, const std::string& prefix,
                         const std::string& suffix, Create create) {
    std::random_device seed;
    std::mt19937 random(seed());
    static const char kHex[] = "0123456789ABCDEF";
    for (int attempt = 0; attempt < kUniqueNameTries; ++attempt) {
        std::string name = WithSeparator(folder) + prefix;
        std::uint32_t bits = random();
        for (int k = 0; k < 8; ++k, bits >>= 4) name += kHex[bits & 0xF];
        name += suffix;
        if (create(name)) return name;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            Fail(error);
            return {};
        }
    }
    Fail(ERROR_FILE_EXISTS);
    return {};
}

// Whether anyone but the file's owner, the current user and the system's own accounts may
// open it (what group and other bits would say on POSIX systems).
bool SharedWithOthers(const std::wstring& path) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PSID owner = nullptr;
    PACL acl = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, &acl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return true;
    }
    const std::vector<DWORD> user = CurrentUser();
    const PSID self =
        user.empty() ? nullptr : reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    bool shared = acl == nullptr;  // no list at all lets everyone in
    for (DWORD k = 0; !shared && acl != nullptr && k < acl->AceCount; ++k) {
        void* entry = nullptr;
        if (!GetAce(acl, k, &entry)) continue;
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (ace->Header.AceFlags & INHERIT_ONLY_ACE) != 0) {
            continue;
        }
        const PSID sid = const_cast<DWORD*>(&ace->SidStart);
        shared = !(owner != nullptr && EqualSid(sid, owner)) &&
                 !(self != nullptr && EqualSid(sid, self)) &&
                 !IsWellKnownSid(sid, WinLocalSystemSid) &&
                 !IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
    }
    LocalFree(descriptor);
    return shared;
}

bool RemoveTreeW(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || Fail(error);
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return DeleteFileW(path.c_str()) || FailNow();
    // A link to a folder elsewhere goes, but what it points at stays.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        WIN32_FIND_DATAW entry;
        const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            bool ok = true;
            do {
                const std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..") ok = RemoveTreeW(path + L"\\" + name) && ok;
            } while (FindNextFileW(search, &entry));
            FindClose(search);
            if (!ok) return false;
        }
    }
    return RemoveDirectoryW(path.c_str()) || FailNow();
}

}  // namespace

namespace FileSystem {

std::string LastError() {
    return tLastError;
}

bool IsRegularFile(const std::string& path) {
    // Device names are refused before anything opens them: opening a serial port has effects.
    if (path.rfind("\\\\.\\", 0) == 0 || IsDeviceName(path)) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!Attributes(path, data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return false;
    }
    // Whatever else is no file on a disk (Wine shows the host's devices as files) is refused.
    Handle file(Open(path, 0, OPEN_EXISTING));
    return file.Valid() && GetFileType(file.Get()) == FILE_TYPE_DISK;
}

bool IsDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileSize(const std::string& path, std::uint64_t& size) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!Attributes(path, data)) return false;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return FailOnFolder();
    }
    size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& data, std::uint64_t maxBytes) {
    if (IsDirectory(path)) return FailOnFolder();
    Handle file(Open(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN));
    if (!file.Valid()) return FailNow();
    if (GetFileType(file.Get()) != FILE_TYPE_DISK) return Fail(ERROR_INVALID_FUNCTION);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size)) return FailNow();
    if (static_cast<std::uint64_t>(size.QuadPart) > maxBytes) return Fail(ERROR_FILE_TOO_LARGE);

    // The size is only a hint: the loop reads to the end whatever the file does meanwhile.
    std::string content;
    content.reserve(static_cast<std::size_t>(size.QuadPart));
    std::vector<char> chunk(kChunkBytes);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), chunk.data(), kChunkBytes, &got, nullptr)) return FailNow();
        if (got == 0) break;
        if (content.size() + got > maxBytes) return Fail(ERROR_FILE_TOO_LARGE);
        content.append(chunk.data(), got);
    }
    data.swap(content);
    return true;
}

bool WriteWholeFile(const std::string& path, const std::string& data) {
    Handle file(Open(path, GENERIC_WRITE, CREATE_ALWAYS));
    if (!file.Valid()) return FailNow();
    return WriteAll(file.Get(), data) && file.Close();
}

bool AppendToFile(const std::string& path, const std::string& data, unsigned newFileBits,
                  bool cutBack) {
    if (data.size() > MAXDWORD) return Fail(ERROR_FILE_TOO_LARGE);
    // Append access alone makes the system put every write at the end, as one piece.
    const DWORD created = (newFileBits & kOwnerWrite) != 0 ? 0 : FILE_ATTRIBUTE_READONLY;
    Handle file(
        Open(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, OPEN_ALWAYS, created));
    if (!file.Valid()) return FailNow();
    LARGE_INTEGER before{};
    if (!GetFileSizeEx(file.Get(), &before)) return FailNow();
    DWORD put = 0;
    const bool wrote =
        WriteFile(file.Get(), data.data(), static_cast<DWORD>(data.size()), &put, nullptr);
    if (wrote && put == data.size()) return file.Close();
    const DWORD why = wrote ? ERROR_DISK_FULL : GetLastError();
    // A half-written tail would look like data: cut it off again (append access cannot).
    file.Close();
    if (!cutBack) return Fail(why);
    Handle cut(Open(path, GENERIC_WRITE, OPEN_EXISTING));
    if (cut.Valid() && SetFilePointerEx(cut.Get(), before, nullptr, FILE_BEGIN)) {
        SetEndOfFile(cut.Get());
    }
    return Fail(why);
}

bool AppendLine(const std::string& path, const std::string& line, unsigned newFileBits,
                int lockWaitMs) {
    constexpr DWORD kLockRetryMs = 20;  // between tries for the lock
    if (line.size() + 1 > MAXDWORD) return Fail(ERROR_FILE_TOO_LARGE);
    const DWORD created = (newFileBits & kOwnerWrite) != 0 ? 0 : FILE_ATTRIBUTE_READONLY;
    Handle file(Open(path, FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                     OPEN_ALWAYS, created));
    if (!file.Valid()) return FailNow();
    // The whole file, however far it grows: every writer asks for the same range.
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        OVERLAPPED at{};
        if (LockFileEx(file.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                       MAXDWORD, &at)) {
            break;
        }
        const DWORD why = GetLastError();
        if (why != ERROR_LOCK_VIOLATION && why != ERROR_IO_PENDING) return Fail(why);
        if (GetTickCount64() - start >= static_cast<ULONGLONG>(lockWaitMs)) {
            tLastError =
                "locked by another writer for more than " + std::to_string(lockWaitMs) + " ms";
            return false;
        }
        Sleep(kLockRetryMs);
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size)) return FailNow();
    char last = '\n';
    if (size.QuadPart > 0) {
        OVERLAPPED at{};
        const ULONGLONG offset = static_cast<ULONGLONG>(size.QuadPart - 1);
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(file.Get(), &last, 1, &got, &at) || got != 1) last = '\n';
    }
    const std::string data = last == '\n' ? line : "\n" + line;
    DWORD put = 0;
    const bool wrote =
        WriteFile(file.Get(), data.data(), static_cast<DWORD>(data.size()), &put, nullptr);
    if (!wrote || put != data.size()) return Fail(wrote ? ERROR_DISK_FULL : GetLastError());
    return file.Close();  // and with it the lock
}

bool Truncate(const std::string& path, std::uint64_t length) {
    Handle file(Open(path, GENERIC_WRITE, OPEN_EXISTING));
    if (!file.Valid()) return FailNow();
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(length);
    return (SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(file.Get()) &&
            file.Close()) ||
           FailNow();
}

bool RemoveFile(const std::string& path) {
    return DeleteFileW(Widen(path).c_str()) || FailNow();
}

bool MoveFile(const std::string& from, const std::string& to, bool replace) {
    // Without the replace flag the system itself refuses an existing target, atomically.
    return MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                       replace ? MOVEFILE_REPLACE_EXISTING : 0) ||
           FailNow();
}

// Windows has no permission bits. The read-only attribute stands for the write bits, the
// extension for the execute bits, and group and other bits for whether the file takes the
// permissions its folder hands down (as any new file does) or has owner-only ones of its
// own (as NewPrivateFile makes them).
bool PermissionBits(const std::string& path, unsigned& bits) {
    const std::wstring wide = Widen(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FailNow();
    bits = SharedWithOthers(wide) ? 0444 : 0400;
    if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) bits |= (bits & 0444) >> 1;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || IsExecutableName(path)) {
        bits |= (bits & 0444) >> 2;
    }
    return true;
}

bool SetPermissionBits(const std::string& path, unsigned bits) {
    std::wstring wide = Widen(path);
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FailNow();

    // An empty list of its own, unprotected, leaves the file with what its folder hands down.
    ACL empty{};
    OwnerOnly ownerOnly(false);
    const bool shared = (bits & 0077) != 0;
    if (shared ? !InitializeAcl(&empty, sizeof empty, ACL_REVISION) : ownerOnly.Get() == nullptr) {
        return FailNow();
    }
    const DWORD which = DACL_SECURITY_INFORMATION | (shared ? UNPROTECTED_DACL_SECURITY_INFORMATION
                                                            : PROTECTED_DACL_SECURITY_INFORMATION);
    const DWORD error = SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT, which, nullptr, nullptr,
                                              shared ? &empty : ownerOnly.Acl(), nullptr);
    if (error != ERROR_SUCCESS) return Fail(error);

    // The attribute comes last: Wine derives it from the permissions just set.
    if ((bits & kOwnerWrite) != 0) {
        attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    } else {
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileAttributesW(wide.c_str(), attributes) || FailNow();
}

std::string TempFolder() {
    return AskSystem([](wchar_t* buffer, DWORD size) { return GetTempPathW(size, buffer); });
}

std::string NewPrivateFile(const std::string& folder, const std::string& prefix) {
    OwnerOnly security(false);
    if (security.Get() == nullptr) {
        FailNow();
        return {};
    }
    return CreateUnique(folder, prefix, ".tmp", [&security](const std::string& name) {
        Handle file(Open(name, GENERIC_WRITE, CREATE_NEW, 0, security.Get()));
        return file.Valid();
    });
}

std::string NewPrivateFolder(const std::string& folder, const std::string& prefix) {
    OwnerOnly security(true);
    if (security.Get() == nullptr) {
        FailNow();
        return {};
    }
    return CreateUnique(folder, prefix, "", [&security](const std::string& name) {
        return CreateDirectoryW(Widen(name).c_str(), security.Get()) != FALSE;
    });
}

bool RemoveTree(const std::string& path) {
    std::wstring wide = Widen(path);
    while (wide.size() > 3 && (wide.back() == L'\\' || wide.back() == L'/')) wide.pop_back();
    return RemoveTreeW(wide);
}

std::string SystemFolder() {
    return AskSystem(
        [](wchar_t* buffer, DWORD size) { return GetWindowsDirectoryW(buffer, size); });
}

std::string RunningExecutablePath() {
    // GetModuleFileNameW returns the buffer's size when the name was cut.
    return AskSystem([](wchar_t* buffer, DWORD size) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer, size);
        return n >= size ? size : n;
    });
}

char Separator() {
    return '\\';
}

std::vector<std::string> Arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int k = 0; k < count; ++k) arguments.push_back(Narrow(wide[k]));
    LocalFree(wide);
    return arguments;
}

}  // namespace FileSystem
