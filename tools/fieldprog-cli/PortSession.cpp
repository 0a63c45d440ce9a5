#include "PortSession.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

#include "CliOptions.h"
#include "Console.h"
#include "ExitCodes.h"
#include "PosixSerialPort.h"
#include "SerialPort.h"
#include "ZelSerialComms.h"
#include "clsError.h"
#include "clsTiming.h"

namespace {

volatile std::sig_atomic_t gSignal = 0;
clsFieldProgrammer* gDevice = nullptr;  // the device whose waits a signal cuts short
// End of the button wait on the clock, 0 for none. A device that sends "P" but never echoes
// the greeting costs the link far more than 50 ms a round, so rounds alone would overrun
// --wait many times over.
std::int64_t gButtonDeadlineMs = 0;

constexpr int kPollRoundsPerSecond = 20;  // the link's button wait polls every 50 ms
constexpr int kPathComPort = 1;           // the COM number a --port path is reached through
constexpr const char* kLockDir = "/var/lock";

extern "C" void OnSignal(int signo) {
    gSignal = signo;
    // Whatever is stuck after this gets no second chance.
    std::signal(signo, SIG_DFL);
}

// Runs inside every wait of the link: a pending signal turns into a request to give up. The
// request is repeated at every round, since each new command clears it, and it lets the
// message loop run itself, so the pump must not re-enter.
void Pump() {
    static bool running = false;
    const bool late =
        gButtonDeadlineMs != 0 && clsTiming::CurrentClock().NowMs() >= gButtonDeadlineMs;
    if (running || (gSignal == 0 && !late) || gDevice == nullptr) return;
    running = true;
    gDevice->ExitWaitForFieldProgrammer();
    running = false;
}

std::string ProcessDescription(long pid) {
    std::string name;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    if (comm) std::getline(comm, name);
    return name.empty() ? "PID " + std::to_string(pid)
                        : "PID " + std::to_string(pid) + " (" + name + ")";
}

// The process holding an flock on the device node, from the kernel's lock table. It names
// the program that took the port even when others (an emulator, a getty) merely have it open.
long FlockHolder(const std::string& path) {
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0) return 0;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:18:5 0 EOF"
        std::istringstream fields(line);
        std::string index, kind, mode, access, id;
        long pid = 0;
        if (!(fields >> index >> kind >> mode >> access >> pid >> id)) continue;
        if (kind != "FLOCK" || pid <= 0 || pid == static_cast<long>(::getpid())) continue;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(id.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) continue;
        if (inode == target.st_ino && makedev(major, minor) == target.st_dev) return pid;
    }
    return 0;
}

}  // namespace

namespace interrupt {

void Install() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    clsTiming::InstallMessagePump(Pump);
}

int Received() { return gSignal; }

int ExitCode() { return 128 + gSignal; }

}  // namespace interrupt

PortSession::PortSession(Console& console)
    : console_(console), device_(std::make_unique<clsFieldProgrammer>()) {
    gDevice = device_.get();
}

PortSession::~PortSession() {
    if (open_) device_->CloseCommPort();
    gDevice = nullptr;
}

int PortSession::Open(const CliOptions& options) {
    int comPort = options.comPort != 0 ? options.comPort : 1;
    if (!options.portPath.empty()) {
        // The link opens ports by COM number; its per-number override reaches any path.
        comPort = kPathComPort;
        ::setenv(("FIELDPROG_COM" + std::to_string(comPort)).c_str(), options.portPath.c_str(), 1);
    }
    const std::string path = ComPortDevicePath(comPort);
    if (path.empty()) {
        console_.Error("COM " + std::to_string(comPort) +
                       " maps to no serial device on this machine; give --port PATH");
        return exitcode::kPortError;
    }
    portLabel_ = path;
    if (device_->OpenCommPort(comPort)) {
        open_ = true;
        return exitcode::kOk;
    }
    return ReportOpenFailure(comPort, path);
}

int PortSession::ReportOpenFailure(int comPort, const std::string& path) {
    const std::string record = device_->LastError().Message() + " (error " +
                               std::to_string(device_->LastError().Number()) + ")";
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        console_.Error(path + ": " + std::strerror(errno) + ": " + record);
        return exitcode::kPortError;
    }
    std::string holder;
    bool busy = false;
    if (const long pid = FlockHolder(path); pid != 0) {
        busy = true;
        holder = ProcessDescription(pid);
    } else if (const int lockPid = UucpLockOwner(kLockDir, path); lockPid != 0) {
        busy = true;
        holder = ProcessDescription(lockPid);
    } else {
        // Nobody holds a lock we can see: find out what the system says about opening it.
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EBUSY) {
                busy = true;
                holder = ComPortHolder(comPort);
            } else {
                console_.Error(path + ": " + std::strerror(error) + ": " + record);
                return exitcode::kPortError;
            }
        } else {
            const bool isTerminal = ::isatty(fd) == 1;
            if (isTerminal && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
                busy = true;
                holder = ComPortHolder(comPort);
            }
            ::close(fd);
            if (!busy) {
                console_.Error(path + (isTerminal ? ": cannot be set up as a serial port: "
                                                  : ": not a serial device: ") + record);
                return exitcode::kPortError;
            }
        }
    }
    console_.Error(path + " is busy" + (holder.empty() ? "" : ": held by " + holder) + ": " +
                   record);
    return exitcode::kPortBusy;
}

bool PortSession::WaitForButton(int seconds) {
    const int limit = std::numeric_limits<std::int16_t>::max();
    const auto rounds = static_cast<std::int16_t>(std::min(seconds * kPollRoundsPerSecond, limit));
    if (interrupt::Received() != 0) return false;
    gButtonDeadlineMs = seconds > 0 ? clsTiming::CurrentClock().NowMs() + seconds * 1000LL : 0;
    const bool answered = device_->WaitForFieldProgrammer(rounds);
    gButtonDeadlineMs = 0;
    return answered;
}

bool PortSession::PortFailed() { return device_->Serial().Port().Failed(); }
