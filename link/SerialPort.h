#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "PortOpenService.h"

// How an attempt to open a serial port ended, with what a user needs to hear about it.
enum class PortOpenStatus {
    Opened,
    NoDevice,      // nothing by that name (or the COM number maps to nothing)
    Busy,          // another program holds it
    NotSerial,     // it exists but is no serial port
    NoPermission,  // the user may not open it
    NotAnswering,  // the open did not complete in time (a Bluetooth port whose partner is away)
    Failed,        // anything else the system reported
};

struct PortOpenResult {
    PortOpenStatus status = PortOpenStatus::NoDevice;
    std::string device;  // what was opened or tried ("/dev/ttyUSB0", "\\.\COM3"); may be empty
    std::string holder;  // Busy: who holds it ("PID 4242 (minicom)") where the system can tell
    std::string reason;  // the system's own words, when it gave any
    // NoPermission: the group whose members may open the port ("dialout"); empty when only
    // the administrator can grant access.
    std::string accessGroup;
    int comPort = 0;  // the COM number asked for, when the port was opened by number

    bool Opened() const { return status == PortOpenStatus::Opened; }
};

// How long an open may take before the port counts as not answering.
constexpr int kPortOpenPatienceMs = 2000;

// One sentence for a failed open, the same in the window's port dialog and in fieldprog-cli:
// "/dev/ttyUSB0 is busy: held by PID 4242 (minicom)". Empty for an opened port. `language` is
// the string table's offset (0 English, 100 French, 200 German).
std::string DescribePortOpen(const PortOpenResult& result, int language = 0);

// The device a COM number means on this machine; empty for numbers it cannot map.
std::string ComPortDevicePath(int comPort);
// The COM numbers above 4 that are present on this machine (an adaptor plugged in, a port with
// hardware behind it), in increasing order. The port dialog offers them below COM 1 to COM 4.
std::vector<int> PresentComPortsAbove4();

// The one seam between the serial link and the operating system's serial port. Bytes travel
// as std::string, one char per byte, never re-encoded. No OS type appears here: the build
// links exactly one backend (platform/<os>/).
class SerialPort {
  public:
    virtual ~SerialPort() { CancelOpen(); }

    // Opens the named device with the fixed settings: 9600 baud 8N1, raw, no flow control,
    // DTR raised, RTS not raised, exclusive access. An open port is not opened again.
    virtual PortOpenResult OpenDevice(const std::string& device) = 0;
    // Opens COM port `comPort` through the device it maps to on this machine.
    virtual PortOpenResult Open(int comPort) {
        PortOpenResult result;
        result.device = ComPortDevicePath(comPort);
        if (!result.device.empty()) result = OpenDevice(result.device);
        result.comPort = comPort;
        return result;
    }
    // The COM numbers above 4 present on this machine, as PresentComPortsAbove4 finds them.
    virtual std::vector<int> PresentPortsAbove4() const { return PresentComPortsAbove4(); }
    // Closes the port and restores the settings it had before. False on a port error.
    virtual bool Close() = 0;
    virtual bool IsOpen() const = 0;

    // Takes all bytes waiting right now without blocking; empty when none are waiting,
    // the port is closed, or the device has vanished (then Failed() turns true).
    virtual std::string ReadAll() = 0;
    // Queues the bytes for sending. False when the port is closed or the device vanished.
    virtual bool Write(const std::string& bytes) = 0;
    // Holds the line in the break state (on) or releases it (off).
    virtual bool SetBreak(bool on) = 0;
    // Receive-notification threshold (1 normally, 0 during the block phase of a transfer).
    virtual bool SetRThreshold(int bytes) = 0;
    // Waits at most `ms` milliseconds and returns as soon as received bytes are waiting, without
    // taking them. True when bytes are waiting. Returns at once when the port is closed or has
    // failed.
    virtual bool WaitReadable(int ms) = 0;
    // True after the device vanished (adaptor pulled, pseudo-terminal closed) while open.
    virtual bool Failed() const = 0;

    // An open in two steps, so that several ports can be opened at once (the start-up probe):
    // the system's open, which may block, runs on the port-opening service, and FinishOpen then
    // sets the port up on the caller's thread. A port whose open cannot block opens in PlanOpen.
    struct OpenPlan {
        PortOpenResult result;  // the device and COM number; final when there is no call
        OpenCall call;
    };
    virtual OpenPlan PlanOpen(int comPort) { return {Open(comPort), {}}; }
    // Sets the port up with what the system's open gave; empty when it did not end in time or
    // was cancelled (the service closes a handle that comes later): not answering.
    virtual PortOpenResult FinishOpen(PortOpenResult result,
                                      const std::optional<OpenedHandle>& got) {
        if (!got) result.status = PortOpenStatus::NotAnswering;
        return result;
    }
    // Gives up the open under way, if any (Quit, the window closed): its wait ends at once, the
    // port stays closed, and a handle that comes later is closed without being set up.
    void CancelOpen();

    // Runs between short waits while an open is in progress, so that the caller's window keeps
    // working while a slow port makes up its mind.
    void WhileOpening(std::function<void()> turn) { whileOpening_ = std::move(turn); }

  protected:
    // Runs `plan`: waits up to `patienceMs` for its call on the service while the caller's
    // loop turns, then FinishOpen.
    PortOpenResult RunOpen(OpenPlan plan, int patienceMs = kPortOpenPatienceMs);

  private:
    std::function<void()> whileOpening_;
    PortOpenService::Ticket opening_;  // the open under way
};

// The platform's serial port.
std::unique_ptr<SerialPort> MakeSystemSerialPort();

// What the port dialog shows under a COM option: the device path on Linux, the port's
// friendly name on Windows ("USB Serial Port"). Empty when there is nothing worth showing.
std::string ComPortDescription(int comPort);
// Whether the device behind a COM number is a USB serial adaptor (the Field Programmer's
// cable is one) rather than a port built into the PC.
bool ComPortIsUsbAdaptor(int comPort);
