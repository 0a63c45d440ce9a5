// The serial port on POSIX systems: termios, non-blocking reads, bounded writes.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
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
#include <optional>
#include <utility>
#include <vector>

#include "PortOpenService.h"
#include "PosixPorts.h"
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

// The system's words for an error number. strerror may share its buffer between threads, and
// ports are opened on several threads at once.
[[maybe_unused]] const char* ChosenText(int, const char* buffer) {  // the XSI strerror_r
    return buffer;
}
[[maybe_unused]] const char* ChosenText(const char* text, const char*) {  // the GNU one
    return text;
}
std::string ErrorText(int error) {
    char buffer[256] = "";
    return ChosenText(strerror_r(error, buffer, sizeof buffer), buffer);
}

// A descriptor opened when nobody wanted it any more. Opening a terminal raises DTR and RTS:
// they go down at once, unless another program holds the port and the lines are its own.
void DiscardLate(const OpenedHandle& late) {
    const int fd = static_cast<int>(late.handle);
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        int lines = TIOCM_DTR | TIOCM_RTS;
        ioctl(fd, TIOCMBIC, &lines);
    }
    ::close(fd);
}

void Nothing(int) {}

class PosixSerialPort : public SerialPort {
  public:
    ~PosixSerialPort() override { Close(); }

    PortOpenResult OpenDevice(const std::string& device) override {
        return RunOpen(PlanDevice(device));
    }

    OpenPlan PlanOpen(int comPort) override {
        OpenPlan plan;
        const std::string device = ComPortDevicePath(comPort);
        if (!device.empty()) plan = PlanDevice(device);
        plan.result.comPort = comPort;
        return plan;
    }

    PortOpenResult FinishOpen(PortOpenResult result,
                              const std::optional<OpenedHandle>& got) override {
        if (!got) {
            result.status = PortOpenStatus::NotAnswering;
        } else if (fd_ >= 0) {
            if (got->Valid()) DiscardLate(*got);
            result.status = PortOpenStatus::Busy;
            result.holder = "this program";
        } else {
            SetUp(*got, result);
        }
        return result;
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
    // What opening `device` takes: refused at once when this port is open or a lock file
    // names a live holder (checked first, since opening alone raises DTR on most ports), else
    // the system's open. Even a non-blocking open can hang in a driver (a Bluetooth link being
    // set up), so it runs on the service.
    OpenPlan PlanDevice(const std::string& device) {
        OpenPlan plan;
        plan.result.device = device;
        if (fd_ >= 0) {
            plan.result.status = PortOpenStatus::Busy;
            plan.result.holder = "this program";
        } else if (const int owner = UucpLockOwner(kLockDir, device); owner != 0) {
            plan.result.status = PortOpenStatus::Busy;
            plan.result.holder = ProcessDescription(owner);
        } else {
            plan.call.open = [device] {
                const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
                return OpenedHandle{fd, fd < 0 ? errno : 0};
            };
            plan.call.discard = DiscardLate;
        }
        return plan;
    }

    // Sets up what the system's open gave, telling in `result` why it could not be had.
    void SetUp(const OpenedHandle& opened, PortOpenResult& result) {
        const std::string& path = result.device;
        const auto fail = [&result](PortOpenStatus status, int error) {
            result.status = status;
            if (error != 0) result.reason = ErrorText(error);
        };
        const int fd = static_cast<int>(opened.handle);
        if (!opened.Valid()) {
            const int error = static_cast<int>(opened.error);
            switch (error) {
                case ENOENT:
                case ENODEV:
                case ENXIO:
                    return fail(PortOpenStatus::NoDevice, error);
                case EACCES:
                case EPERM:
                    result.accessGroup = AccessGroup(path);
                    return fail(PortOpenStatus::NoPermission, error);
                case EBUSY:  // another program set the terminal's exclusive mode
                    result.holder = DeviceHolder(path);
                    return fail(PortOpenStatus::Busy, error);
                default:
                    return fail(PortOpenStatus::Failed, error);
            }
        }
        termios saved{};
        if (!isatty(fd) || tcgetattr(fd, &saved) != 0) {
            ::close(fd);
            return fail(PortOpenStatus::NotSerial, 0);
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error != EWOULDBLOCK) return fail(PortOpenStatus::Failed, error);
            result.holder = DeviceHolder(path);
            return fail(PortOpenStatus::Busy, 0);
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
            const int error = errno;
            ioctl(fd, TIOCNXCL);
            ::close(fd);
            return fail(PortOpenStatus::Failed, error);
        }
        // Modem lines are absent on pseudo-terminals; failure there is expected and harmless.
        int dtr = TIOCM_DTR;
        ioctl(fd, TIOCMBIS, &dtr);
        int rts = TIOCM_RTS;
        ioctl(fd, TIOCMBIC, &rts);

        fd_ = fd;
        saved_ = saved;
        failed_ = false;
        result.status = PortOpenStatus::Opened;
    }

    // Serial devices on Debian belong to the group "dialout", whose members may open them. A
    // device whose group may not read and write it (another user's terminal) needs the
    // administrator instead: no group then.
    static std::string AccessGroup(const std::string& path) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && info.st_gid != 0 &&
            (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
            return GroupName(info.st_gid);
        }
        return std::string();
    }

    // getgrgid would share its answer with the other threads that open ports.
    static std::string GroupName(gid_t gid) {
        group entry{};
        group* found = nullptr;
        for (std::size_t size = 1024; size <= (1u << 20); size *= 4) {
            std::vector<char> buffer(size);
            const int error = getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found);
            if (error == ERANGE) continue;
            if (error != 0 || found == nullptr || found->gr_name == nullptr) return {};
            return found->gr_name;
        }
        return {};
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

// A no-op handler installed without SA_RESTART, so that the signal ends a blocked open with
// EINTR. SIGURG is sent only for sockets' urgent data, which this program has none of.
std::function<void()> ThisThreadWaker() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = Nothing;
        sigemptyset(&action.sa_mask);
        pthread_atfork(nullptr, nullptr, PortOpenService::ForkedChild);
        return sigaction(SIGURG, &action, nullptr) == 0;
    }();
    if (!installed) return {};
    const pthread_t self = pthread_self();
    return [self] { pthread_kill(self, SIGURG); };
}

std::unique_ptr<SerialPort> MakeSystemSerialPort() {
    return std::make_unique<PosixSerialPort>();
}
