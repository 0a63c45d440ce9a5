// Files on POSIX systems.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "FileSystem.h"

namespace {

thread_local std::string tLastError;

bool Fail(int error) {
    tLastError = std::strerror(error);
    return false;
}

bool FailNow() {
    return Fail(errno);
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }
    // Closes now, so that a failing close (a write lost on some file systems) is seen.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 || FailNow();
    }

  private:
    int fd_;
};

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = ::write(fd, data.data() + done, data.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            return FailNow();
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

// "folder/prefixXXXXXX" as a writable buffer for the mk*temp calls.
std::vector<char> Pattern(std::string folder, const std::string& prefix) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    const std::string pattern = folder + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    return name;
}

}  // namespace

namespace FileSystem {

std::string LastError() {
    return tLastError;
}

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FileSize(const std::string& path, std::uint64_t& size) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return FailNow();
    if (!S_ISREG(info.st_mode)) return Fail(EINVAL);
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& data, std::uint64_t maxBytes) {
    Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) return FailNow();
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) return FailNow();
    if (!S_ISREG(info.st_mode)) return Fail(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    if (static_cast<std::uint64_t>(info.st_size) > maxBytes) return Fail(EFBIG);

    // The size is only a hint: the loop reads to the end whatever the file does meanwhile.
    std::string content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(file.Get(), chunk, sizeof chunk);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            return FailNow();
        }
        if (content.size() + static_cast<std::uint64_t>(got) > maxBytes) return Fail(EFBIG);
        content.append(chunk, static_cast<std::size_t>(got));
    }
    data.swap(content);
    return true;
}

bool WriteWholeFile(const std::string& path, const std::string& data) {
    Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (file.Get() < 0) return FailNow();
    return WriteAll(file.Get(), data) && file.Close();
}

bool AppendToFile(const std::string& path, const std::string& data, unsigned newFileBits,
                  bool cutBack) {
    Descriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                           static_cast<mode_t>(newFileBits & 07777)));
    if (file.Get() < 0) return FailNow();
    struct stat before {};
    if (::fstat(file.Get(), &before) != 0) return FailNow();
    if (!WriteAll(file.Get(), data)) {
        const std::string why = tLastError;
        // A half-written tail would look like data: cut it off again.
        if (cutBack && ::ftruncate(file.Get(), before.st_size) != 0) {
            // Nothing more can be done; the caller learns of the failure either way.
        }
        tLastError = why;
        return false;
    }
    return file.Close();
}

// Record locks belong to the process, not the thread, and closing any descriptor of the file
// drops them: the threads of this process take turns here first.
std::mutex gAppendTurn;

bool AppendLine(const std::string& path, const std::string& line, unsigned newFileBits,
                int lockWaitMs) {
    constexpr auto kLockRetry = std::chrono::milliseconds(20);  // between tries for the lock
    const std::lock_guard<std::mutex> turn(gAppendTurn);
    const mode_t bits = static_cast<mode_t>(newFileBits & 07777);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, bits);
    // A file we may write but not read: no look at its tail.
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    Descriptor file(fd);
    if (file.Get() < 0) return FailNow();
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;  // from 0 to the end, however far it grows
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(lockWaitMs);
    while (::fcntl(file.Get(), F_SETLK, &lock) != 0) {
        if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) {
            tLastError = "the file system offers no record locks (" +
                         std::string(std::strerror(errno)) + ")";
            return false;
        }
        if (errno != EACCES && errno != EAGAIN && errno != EINTR) return FailNow();
        if (std::chrono::steady_clock::now() >= deadline) {
            tLastError =
                "locked by another writer for more than " + std::to_string(lockWaitMs) + " ms";
            return false;
        }
        std::this_thread::sleep_for(kLockRetry);
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0) return FailNow();
    char last = '\n';
    if (info.st_size > 0 && ::pread(file.Get(), &last, 1, info.st_size - 1) != 1) last = '\n';
    if (!WriteAll(file.Get(), last == '\n' ? line : "\n" + line)) return false;
    return file.Close();  // and with it the lock
}

bool Truncate(const std::string& path, std::uint64_t length) {
    return ::truncate(path.c_str(), static_cast<off_t>(length)) == 0 || FailNow();
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 || FailNow();
}

bool MoveFile(const std::string& from, const std::string& to, bool replace) {
    if (!replace) {
        // link() refuses an existing name, so a file that appeared meanwhile is kept.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return true;
        }
        if (errno == EEXIST) return FailNow();
        // Some file systems have no hard links: check, then rename.
        struct stat info {};
        if (::lstat(to.c_str(), &info) == 0) return Fail(EEXIST);
    }
    return ::rename(from.c_str(), to.c_str()) == 0 || FailNow();
}

bool PermissionBits(const std::string& path, unsigned& bits) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return FailNow();
    bits = static_cast<unsigned>(info.st_mode) & 07777;
    return true;
}

bool SetPermissionBits(const std::string& path, unsigned bits) {
    return ::chmod(path.c_str(), static_cast<mode_t>(bits & 07777)) == 0 || FailNow();
}

std::string TempFolder() {
    const char* fromEnvironment = std::getenv("TMPDIR");
    std::string path =
        (fromEnvironment != nullptr && *fromEnvironment != '\0') ? fromEnvironment : "/tmp";
    if (path.back() != '/') path += '/';
    return path;
}

std::string NewPrivateFile(const std::string& folder, const std::string& prefix) {
    std::vector<char> name = Pattern(folder, prefix);
    // mkstemp picks a free name and creates the file in one step with mode 0600.
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        FailNow();
        return {};
    }
    if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
        FailNow();
        ::close(fd);
        ::unlink(name.data());
        return {};
    }
    ::close(fd);
    return name.data();
}

std::string NewPrivateFolder(const std::string& folder, const std::string& prefix) {
    std::vector<char> name = Pattern(folder, prefix);
    if (::mkdtemp(name.data()) == nullptr) {
        FailNow();
        return {};
    }
    return name.data();
}

bool RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) return Fail(ec.value());
    return true;
}

// The nearest thing to the system folder: where the machine-wide configuration lives.
std::string SystemFolder() {
    return "/etc";
}

std::string RunningExecutablePath() {
    // The kernel's link names the real file, whatever argv[0] or the current folder say.
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) {
            FailNow();
            return {};
        }
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return buffer;
        }
        if (buffer.size() >= 65536) return {};  // no real path is this long
        buffer.resize(buffer.size() * 2);
    }
}

char Separator() {
    return '/';
}

std::vector<std::string> Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace FileSystem
