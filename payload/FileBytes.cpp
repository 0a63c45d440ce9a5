#include "FileBytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }
    // Closes now so that a failing close (lost write on some file systems) is seen.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

}  // namespace

bool ReadWholeFile(const std::string& strFullPath, std::string& strData) {
    Descriptor file(::open(strFullPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Get() < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return false;
    }

    // The size is only a hint: the loop reads to the end whatever the file does meanwhile.
    std::string content;
    content.reserve(static_cast<std::size_t>(info.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(file.Get(), chunk, sizeof chunk);
        if (got == 0) {
            break;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        content.append(chunk, static_cast<std::size_t>(got));
    }
    strData.swap(content);
    return true;
}

bool WriteAllToDescriptor(int fd, const std::string& strData) {
    std::size_t done = 0;
    while (done < strData.size()) {
        const ssize_t put = ::write(fd, strData.data() + done, strData.size() - done);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool WriteWholeFile(const std::string& strFullPath, const std::string& strData) {
    Descriptor file(::open(strFullPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (file.Get() < 0) {
        return false;
    }
    if (!WriteAllToDescriptor(file.Get(), strData)) {
        return false;
    }
    return file.Close();
}
