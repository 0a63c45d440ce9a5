// The serial port on POSIX systems: termios, non-blocking reads, bounded writes.

#include "PosixSerialPort.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

#include "SerialPort.h"

namespace {

constexpr speed_t kBaud = B9600;                // fixed line speed
constexpr std::size_t kMaxReadPerCall = 65536;  // bytes; a chattering line cannot pin ReadAll
constexpr int kWriteStallMs = 3000;             // ms a write may wait for room before failing
constexpr int kMsPerByteAt9600 = 2;             // ms, about twice the wire time of one byte
constexpr int kCloseDrainMs = 2000;             // ms allowed for queued output to leave on close
constexpr int kDrainPollMs = 10;                // ms between output-queue checks on close
constexpr const char* kLockDir = "/var/lock";   // where UUCP-style lock files live

using SteadyClock = std::chrono::steady_clock;

int MsUntil(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now())
            .count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The value of a text made of decimal digits only; -1 for anything else.
long DecimalNumber(const std::string& digits) {
    if (digits.empty() || digits.size() > 9) return -1;  // 9 digits keep the conversion exact
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
    }
    return std::strtol(digits.c_str(), nullptr, 10);
}

// The number behind `prefix` when `name` is exactly prefix + digits; -1 otherwise.
long NumberAfter(const std::string& name, const std::string& prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0) return -1;
    return DecimalNumber(name.substr(prefix.size()));
}

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ProcessAlive(int pid) {
    return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

std::string ProcessDescription(int pid) {
    std::string name;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    if (comm) std::getline(comm, name);
    return name.empty() ? "PID " + std::to_string(pid)
                        : "PID " + std::to_string(pid) + " (" + name + ")";
}

// A process other than this one with `devicePath` open, found through /proc; 0 when none.
// Falls back to this process when it is the only holder.
int ProcessWithDeviceOpen(const std::string& devicePath) {
    struct stat target {};
    if (stat(devicePath.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) return 0;
    const int self = static_cast<int>(getpid());
    int selfHolds = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    int found = 0;
    while (found == 0) {
        const dirent* entry = readdir(proc);
        if (entry == nullptr) break;
        const long pid = DecimalNumber(entry->d_name);
        if (pid <= 0) continue;
        const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) continue;
        while (const dirent* fdEntry = readdir(fds)) {
            if (fdEntry->d_name[0] == '.') continue;
            struct stat st {};
            if (stat((fdDir + "/" + fdEntry->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == target.st_rdev) {
                if (pid == self) {
                    selfHolds = self;
                } else {
                    found = static_cast<int>(pid);
                }
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found != 0 ? found : selfHolds;
}

class PosixSerialPort : public SerialPort {
  public:
    ~PosixSerialPort() override { Close(); }

    bool Open(int comPort) override {
        if (fd_ >= 0) return false;
        const std::string path = ComPortDevicePath(comPort);
        return !path.empty() && OpenPath(path);
    }

    bool Close() override {
        if (fd_ < 0) return true;
        bool ok = true;
        if (!failed_) {
            DrainOutput();
            ok = tcsetattr(fd_, TCSANOW, &saved_) == 0;
        }
        ioctl(fd_, TIOCNXCL);
        // The flock goes with the descriptor.
        if (::close(fd_) != 0 && errno != EINTR && !failed_) ok = false;
        fd_ = -1;
        failed_ = false;
        return ok;
    }

    bool IsOpen() const override { return fd_ >= 0; }

    std::string ReadAll() override {
        std::string out;
        if (fd_ < 0 || failed_) return out;
        char buf[4096];
        while (out.size() < kMaxReadPerCall) {
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                out.append(buf, static_cast<std::size_t>(n));
            } else if (n == 0) {
                // With VMIN 1 a non-blocking read only returns 0 on hang-up.
                failed_ = true;
                break;
            } else if (errno == EINTR) {
                continue;
            } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                break;
            } else {
                failed_ = true;
                break;
            }
        }
        return out;
    }

    bool Write(const std::string& bytes) override {
        if (fd_ < 0 || failed_) return false;
        // Enough time for the queue to drain at line speed, plus a generous stall allowance.
        const auto deadline =
            SteadyClock::now() +
            std::chrono::milliseconds(kWriteStallMs +
                                      kMsPerByteAt9600 * static_cast<long long>(bytes.size()));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                failed_ = true;
                return false;
            }
            // The output queue is full: wait for room, but not for ever.
            pollfd p{fd_, POLLOUT, 0};
            const int left = MsUntil(deadline);
            if (left == 0) return false;
            const int r = poll(&p, 1, left);
            if (r < 0 && errno != EINTR) return false;
            if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                failed_ = true;
                return false;
            }
        }
        return true;
    }

    bool SetBreak(bool on) override {
        if (fd_ < 0 || failed_) return false;
        return ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0;
    }

    // There are no receive notifications here; the value is only kept.
    bool SetRThreshold(int bytes) override {
        rThreshold_ = bytes;
        return true;
    }

    bool WaitReadable(int ms) override {
        if (fd_ < 0 || failed_) return false;
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(std::max(ms, 0));
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const int r = poll(&p, 1, MsUntil(deadline));
            if (r < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (r == 0) return false;
            if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
                failed_ = true;
                return false;
            }
            if ((p.revents & POLLIN) != 0) return true;
        }
    }

    bool Failed() const override { return failed_; }

  private:
    bool OpenPath(const std::string& path) {
        // A lock file is checked before opening, since opening alone raises DTR on most ports.
        if (UucpLockOwner(kLockDir, path) != 0) return false;
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        termios saved{};
        if (!isatty(fd) || flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &saved) != 0) {
            ::close(fd);
            return false;
        }
        // Refuses further opens by unprivileged programs that take no lock of their own.
        ioctl(fd, TIOCEXCL);

        termios t = saved;
        cfmakeraw(&t);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
        t.c_cflag |= CS8 | CLOCAL | CREAD;
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        // VMIN 1 makes an empty non-blocking read fail with EAGAIN, so 0 can mean hang-up.
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        if (cfsetispeed(&t, kBaud) != 0 || cfsetospeed(&t, kBaud) != 0 ||
            tcsetattr(fd, TCSANOW, &t) != 0) {
            ioctl(fd, TIOCNXCL);
            ::close(fd);
            return false;
        }
        // Modem lines are absent on pseudo-terminals; failure there is expected and harmless.
        int dtr = TIOCM_DTR;
        ioctl(fd, TIOCMBIS, &dtr);
        int rts = TIOCM_RTS;
        ioctl(fd, TIOCMBIC, &rts);

        fd_ = fd;
        saved_ = saved;
        failed_ = false;
        return true;
    }

    // Restoring the old speed while our last bytes are still queued would garble them.
    void DrainOutput() {
        const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kCloseDrainMs);
        int queued = 0;
        while (ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued > 0 && MsUntil(deadline) > 0) {
            poll(nullptr, 0, kDrainPollMs);
        }
    }

    int fd_ = -1;
    bool failed_ = false;
    int rThreshold_ = 1;
    termios saved_{};
};

}  // namespace

std::vector<std::string> SerialDeviceCandidates(const std::string& devDir) {
    static const char* const kGroups[] = {"ttyUSB", "ttyACM", "ttyS"};
    std::vector<std::vector<std::pair<long, std::string>>> groups(std::size(kGroups));
    if (DIR* dir = opendir(devDir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            for (std::size_t g = 0; g < std::size(kGroups); ++g) {
                const long n = NumberAfter(name, kGroups[g]);
                if (n >= 0) groups[g].emplace_back(n, name);
            }
        }
        closedir(dir);
    }
    std::string prefix = devDir;
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    std::vector<std::string> out;
    for (auto& group : groups) {
        std::sort(group.begin(), group.end());
        for (const auto& item : group) out.push_back(prefix + item.second);
    }
    return out;
}

int UucpLockOwner(const std::string& lockDir, const std::string& devicePath) {
    std::ifstream in(lockDir + "/LCK.." + BaseName(devicePath), std::ios::binary);
    if (!in) return 0;
    char buf[64] = {};
    in.read(buf, sizeof buf);
    const auto size = static_cast<std::size_t>(in.gcount());
    long pid = 0;
    bool text = false;
    std::size_t k = 0;
    while (k < size && (buf[k] == ' ' || buf[k] == '\t')) ++k;
    while (k < size && buf[k] >= '0' && buf[k] <= '9' && pid < 10000000) {
        pid = pid * 10 + (buf[k] - '0');
        text = true;
        ++k;
    }
    if (!text && size == 4) {
        // Old-style lock files hold the pid as a native 4-byte integer.
        std::int32_t binary = 0;
        std::memcpy(&binary, buf, sizeof binary);
        pid = binary;
    }
    if (pid <= 0 || pid == static_cast<long>(getpid())) return 0;
    return ProcessAlive(static_cast<int>(pid)) ? static_cast<int>(pid) : 0;
}

std::unique_ptr<SerialPort> MakeSystemSerialPort() {
    return std::make_unique<PosixSerialPort>();
}

std::string ComPortDevicePath(int comPort) {
    if (comPort < 1 || comPort > 4) return {};
    const std::string var = "FIELDPROG_COM" + std::to_string(comPort);
    if (const char* over = std::getenv(var.c_str()); over != nullptr && *over != '\0') return over;
    const auto candidates = SerialDeviceCandidates("/dev");
    const auto index = static_cast<std::size_t>(comPort - 1);
    return index < candidates.size() ? candidates[index] : std::string();
}

std::string ComPortHolder(int comPort) {
    const std::string path = ComPortDevicePath(comPort);
    if (path.empty()) return {};
    int pid = UucpLockOwner(kLockDir, path);
    if (pid == 0) pid = ProcessWithDeviceOpen(path);
    return pid != 0 ? ProcessDescription(pid) : std::string();
}
