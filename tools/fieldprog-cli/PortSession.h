#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "clsFieldProgrammer.h"

class Console;
struct CliOptions;
struct PortName;

// Ctrl-C and SIGTERM. The handler only records the signal; the message pump that the link
// runs during every wait sees it and asks the link to give up, so the running operation ends
// through its own failure path (which removes the transfer's temporary file) and the port is
// closed normally. A second signal ends the process at once.
namespace interrupt {
void Install();
// The signal received, 0 when none.
int Received();
// 128 + the signal number: the exit code of a run that was interrupted.
int ExitCode();
// A termination request (SIGTERM; on Windows a console closed, a log-off, a shut-down): the
// process may have only seconds left, so a device under way is recorded at once.
bool Terminating();
}  // namespace interrupt

// One open port with the device object on it, for the length of one run.
class PortSession {
  public:
    explicit PortSession(Console& console);
    ~PortSession();  // closes the port
    PortSession(const PortSession&) = delete;
    PortSession& operator=(const PortSession&) = delete;

    // Opens the port named by --port or --com (COM 1 when neither is given). 0 on success,
    // otherwise the exit code, with the reason already reported.
    int Open(const CliOptions& options);
    int Open(const PortName& port);
    // Why the last Open failed, in the words the user was told.
    const std::string& OpenFailure() const { return openFailure_; }
    // The device path in use, for messages and production records.
    const std::string& PortLabel() const { return portLabel_; }

    // Waits for the device's button, `seconds` long at most (0 = no limit). False when no
    // device answered, the wait was interrupted, or the port failed.
    bool WaitForButton(int seconds);
    // True when the port went away while open (adaptor pulled).
    bool PortFailed();

    clsFieldProgrammer& Device() { return *device_; }
    // Hands the device, its port open, to a new owner; the session then holds nothing.
    std::unique_ptr<clsFieldProgrammer> Release();

  private:
    Console& console_;
    std::unique_ptr<clsFieldProgrammer> device_;
    std::string portLabel_;
    std::string openFailure_;
    bool open_ = false;
};
