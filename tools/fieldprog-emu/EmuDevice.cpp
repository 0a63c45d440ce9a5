#include "EmuDevice.h"

#include <algorithm>

namespace {
constexpr EmuMicros kPRepeat = 1000 * kMicrosPerMs;       // "P" again while nobody greets
constexpr EmuMicros kQuitAfterEot = 5000 * kMicrosPerMs;  // from EOT to ".Q" at the least
}  // namespace

EmuDevice::EmuDevice(const EmuOptions& options, EmuMicros start)
    : options_(options),
      out_(Log, start),
      flash_(options.pages, options.bankSize),
      table_(options_, flash_, out_),
      address_(options_, flash_, table_, out_),
      receiver_(options_, flash_, table_, out_),
      lastP_(start),
      lastInput_(start) {
    SchedulePress(start, options.pressAfterMs);
}

// ---------------------------------------------------------------------------------------------
// Devices and the button

EmuDeviceRecord& EmuDevice::Current() {
    if (!recordOpen_) {
        EmuDeviceRecord record;
        record.number = static_cast<int>(records_.size()) + 1;
        records_.push_back(record);
        recordOpen_ = true;
    }
    return records_.back();
}

void EmuDevice::CloseOpenRecord() {
    if (!recordOpen_) return;
    EmuDeviceRecord& record = records_.back();
    if (record.transferStarted && !record.transferEnded) {
        record.Fail("transfer not finished");
        Note("device " + std::to_string(record.number) + ": transfer not finished");
    }
    recordOpen_ = false;
    if (DeviceClosed) DeviceClosed(record);
}

bool EmuDevice::Finished() const {
    return options_.devices > 0 && poweredDown_ >= options_.devices;
}

void EmuDevice::SchedulePress(EmuMicros now, int afterMs) {
    const bool more = options_.devices == 0 || poweredDown_ < options_.devices;
    if (more && options_.pressAfterMs >= 0) nextPress_ = now + afterMs * kMicrosPerMs;
}

// Whatever was half-done is forgotten.
void EmuDevice::Quiet() {
    mode_ = Mode::Commands;
    table_.Reset();
    address_.Reset();
    receiver_.Reset();
    nextPress_ = kEmuNever;
}

void EmuDevice::SendP(EmuMicros now) {
    out_.Emit("P", now);
    lastP_ = now;
}

void EmuDevice::Press(EmuMicros now) {
    CloseOpenRecord();
    Note("device " + std::to_string(Current().number) + ": button pressed");
    Quiet();
    awaitingGreeting_ = true;
    SendP(now);
}

void EmuDevice::Unplug() {
    Note("line unplugged");
    poweringOff_ = false;
    CloseOpenRecord();
    Quiet();
    awaitingGreeting_ = false;
    out_.Drop();
}

void EmuDevice::Plug(EmuMicros now) {
    Note("line plugged in");
    lastP_ = lastInput_ = now;
    SchedulePress(now, options_.pressAfterMs);
}

// The host only reacts to a "P" that ends what it has collected, and it may not be listening
// yet (or may have flushed the port on opening it): so the device repeats "P" while nobody has
// greeted it and the line has been quiet for a while.
EmuMicros EmuDevice::PResendAt() const {
    if (!awaitingGreeting_ || LineCloseRequested() || mode_ != Mode::Commands) return kEmuNever;
    return std::max({lastP_, lastInput_, out_.LastOutput()}) + kPRepeat;
}

// ---------------------------------------------------------------------------------------------
// Time

EmuMicros EmuDevice::NextDeadline() const {
    return std::min({nextPress_, PResendAt(), address_.NextDeadline(), receiver_.NextDeadline()});
}

void EmuDevice::Tick(EmuMicros now) {
    if (LineCloseRequested()) return;
    if (nextPress_ <= now) Press(now);
    if (PResendAt() <= now) {
        table_.Reset();  // a greeting that stalled half-way starts afresh
        SendP(now);
    }
    if (mode_ == Mode::Address) address_.Tick(now);
    if (mode_ == Mode::Transfer) {
        receiver_.Tick(now, Current());
        if (!receiver_.Active()) mode_ = Mode::Commands;
    }
}

// ---------------------------------------------------------------------------------------------
// Bytes from the host

void EmuDevice::Receive(std::uint8_t byte, EmuMicros now) {
    if (LineCloseRequested()) return;
    lastInput_ = now;
    const char c = static_cast<char>(byte);
    bool goesOn = true;
    switch (mode_) {
        case Mode::Transfer:
            receiver_.Receive(byte, now, Current());
            goesOn = receiver_.Active();
            break;
        case Mode::Address:
            goesOn = address_.Receive(c, now);
            break;
        case Mode::Commands:
            ReceiveCommand(c, now);
            return;
    }
    if (goesOn) return;
    mode_ = Mode::Commands;
    if (c == '.') ReceiveCommand(c, now);  // the "." that ended the mode begins a command
}

void EmuDevice::ReceiveCommand(char c, EmuMicros now) {
    if (c == '.') commandStart_ = now;
    // The log shows whether a pressed device was ever spoken to.
    if (awaitingGreeting_ && c == '.')
        Note("device " + std::to_string(Current().number) + ": greeting begins");
    if (const auto typed = table_.Receive(c, now, awaitingGreeting_)) Execute(*typed, now);
}

void EmuDevice::Execute(const EmuCommandTable::Typed& typed, EmuMicros now) {
    ++commands_;
    Note("device " + std::to_string(Current().number) + ": command " + typed.command);
    const char letter = typed.command[1];
    if (letter == 'R') {
        mode_ = Mode::Address;
        address_.Enter(EmuHexValue(typed.command.substr(2)), typed.echo, now);
        return;
    }
    if (letter == 'C') flash_.Erase();
    const bool greeting = letter == 'V' && awaitingGreeting_;
    if (greeting) awaitingGreeting_ = false;
    table_.Answer(typed, now, receiver_.LastBlock());
    if (letter == 'X') {
        mode_ = Mode::Transfer;
        receiver_.Start(now, Current());
    } else if (letter == 'Q') {
        // The device is still writing its flash after EOT: it needs 5 s before ".Q" powers it
        // down, and a host that does not wait leaves a device that may not hold the image.
        EmuDeviceRecord& record = Current();
        const EmuMicros pause = commandStart_ - record.eotAt;
        if (record.transferEnded && pause < kQuitAfterEot) {
            const std::string why = "\".Q\" " + std::to_string(pause / kMicrosPerMs) +
                                    " ms after EOT, the device needs " +
                                    std::to_string(kQuitAfterEot / kMicrosPerMs);
            record.Fail(why);
            Note("device " + std::to_string(record.number) + ": " + why);
        }
        Current().poweredDown = true;
        poweringOff_ = options_.offAfterQuit;
        ++poweredDown_;
        CloseOpenRecord();
        awaitingGreeting_ = false;
        SchedulePress(now, options_.nextDeviceMs);
    }
}
