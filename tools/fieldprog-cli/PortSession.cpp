#include "PortSession.h"

#include <algorithm>
#include <limits>

#include "CliOptions.h"
#include "Console.h"
#include "ExitCodes.h"
#include "SerialPort.h"
#include "Terminal.h"
#include "ZelSerialComms.h"
#include "clsError.h"
#include "clsTiming.h"

namespace {

clsFieldProgrammer* gDevice = nullptr;  // the device whose waits an interrupt cuts short
// End of the button wait on the clock, 0 for none. A device that sends "P" but never echoes
// the greeting costs the link far more than 50 ms a round, so rounds alone would overrun
// --wait many times over.
std::int64_t gButtonDeadlineMs = 0;

constexpr int kPollRoundsPerSecond = 20;  // the link's button wait polls every 50 ms

// Runs inside every wait of the link: a pending interrupt turns into a request to give up.
// The request is repeated at every round, since each new command clears it, and it lets the
// message loop run itself, so the pump must not re-enter.
void Pump() {
    thread_local bool running = false;
    const bool late =
        gButtonDeadlineMs != 0 && clsTiming::CurrentClock().NowMs() >= gButtonDeadlineMs;
    if (running || (terminal::InterruptReceived() == 0 && !late) || gDevice == nullptr) return;
    running = true;
    gDevice->ExitWaitForFieldProgrammer();
    running = false;
}

}  // namespace

namespace interrupt {

void Install() {
    terminal::InstallInterruptHandler();
    clsTiming::InstallMessagePump(Pump);
}

int Received() {
    return terminal::InterruptReceived();
}

int ExitCode() {
    return 128 + terminal::InterruptReceived();
}

bool Terminating() {
    constexpr int kTerminate = 15;  // SIGTERM, and what a closed console counts as
    return terminal::InterruptReceived() == kTerminate;
}

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
    return Open(options.ports.front());
}

int PortSession::Open(const PortName& port) {
    const bool opened = port.device.empty() ? device_->OpenCommPort(port.com)
                                            : device_->OpenCommDevice(port.device);
    const PortOpenResult& result = device_->Serial().LastOpenResult();
    portLabel_ = result.device.empty() ? port.Label() : result.device;
    if (opened) {
        open_ = true;
        return exitcode::kOk;
    }
    const std::string record = device_->LastError().Message() + " (error " +
                               std::to_string(device_->LastError().Number()) + ")";
    openFailure_ = DescribePortOpen(result);
    console_.Error(openFailure_ + ": " + record);
    return result.status == PortOpenStatus::Busy ? exitcode::kPortBusy : exitcode::kPortError;
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

std::unique_ptr<clsFieldProgrammer> PortSession::Release() {
    open_ = false;
    gDevice = nullptr;
    return std::move(device_);
}

bool PortSession::PortFailed() {
    return device_->Serial().Port().Failed();
}
