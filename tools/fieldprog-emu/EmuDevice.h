#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "EmuAddressMode.h"
#include "EmuBlockReceiver.h"
#include "EmuCommandTable.h"
#include "EmuDeviceRecord.h"
#include "EmuFlash.h"
#include "EmuOptions.h"
#include "EmuOutbox.h"
#include "EmuTypes.h"

// The Field Programmer as a byte-in, byte-out state machine. It never reads a clock: every call
// carries the time, and the owner asks NextDeadline() when to call Tick() again. Output is
// collected with TakeOutput(), each piece stamped with the moment it may go out.
//
// This class is the device's button, its greeting and its records of the devices served; it
// hands each byte to the part in charge: the command table, address mode (".R") or the block
// receiver (".X").
class EmuDevice {
  public:
    EmuDevice(const EmuOptions& options, EmuMicros start);
    EmuDevice(const EmuDevice&) = delete;
    EmuDevice& operator=(const EmuDevice&) = delete;

    void Receive(std::uint8_t byte, EmuMicros now);
    void Tick(EmuMicros now);
    void Press(EmuMicros now);  // the button on the top of the device
    // The line has gone (the adaptor was pulled out): the device in progress ends, anything
    // half-done is forgotten and the device stays silent until Plug().
    void Unplug();
    // The line is back: a fresh device whose button presses again as configured.
    void Plug(EmuMicros now);
    EmuMicros NextDeadline() const;
    std::vector<EmuOutput> TakeOutput() { return out_.Take(); }

    // The device has been told (by a fault switch) to drop off the line.
    bool LineCloseRequested() const { return receiver_.LineClosed(); }
    // The device has taken ".Q" and powers down with its line (--off-after-quit); the owner
    // closes the line once the echo has gone out.
    bool PoweringOff() const { return poweringOff_; }
    // Every device asked for with --devices has powered down.
    bool Finished() const;
    // Ends the device in progress, if any (at shutdown).
    void CloseOpenRecord();

    const std::vector<EmuDeviceRecord>& Records() const { return records_; }
    const EmuFlash& Flash() const { return flash_; }
    std::uint64_t Commands() const { return commands_; }

    std::function<void(const std::string&)> Log;
    // Called when a device ends (".Q", the next press, line close or shutdown). The handler may
    // fill in the record's expectResult.
    std::function<void(EmuDeviceRecord&)> DeviceClosed;

  private:
    enum class Mode { Commands, Address, Transfer };

    void ReceiveCommand(char c, EmuMicros now);
    void Execute(const EmuCommandTable::Typed& typed, EmuMicros now);
    void Quiet();
    void SchedulePress(EmuMicros now, int afterMs);
    void SendP(EmuMicros now);
    EmuMicros PResendAt() const;
    EmuDeviceRecord& Current();
    void Note(const std::string& text) const { out_.Note(text); }

    EmuOptions options_;
    EmuOutbox out_;
    EmuFlash flash_;
    EmuCommandTable table_;
    EmuAddressMode address_;
    EmuBlockReceiver receiver_;
    Mode mode_ = Mode::Commands;

    std::vector<EmuDeviceRecord> records_;
    bool recordOpen_ = false;
    int poweredDown_ = 0;
    std::uint64_t commands_ = 0;
    bool poweringOff_ = false;

    // Button and greeting
    EmuMicros nextPress_ = kEmuNever;
    bool awaitingGreeting_ = false;
    EmuMicros lastP_ = 0;
    EmuMicros lastInput_ = 0;
    EmuMicros commandStart_ = 0;  // the "." of the command being typed
};
