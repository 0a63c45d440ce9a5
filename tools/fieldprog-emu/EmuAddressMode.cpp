#include "EmuAddressMode.h"

#include <cstdint>

EmuAddressMode::EmuAddressMode(const EmuOptions& options, EmuFlash& flash, EmuCommandTable& table,
                               EmuOutbox& out)
    : options_(options),
      flash_(flash),
      table_(table),
      out_(out),
      replyDelay_(static_cast<EmuMicros>(options.replyDelayMs) * kMicrosPerMs) {}

void EmuAddressMode::Reset() {
    display_.clear();
    displayAt_ = kEmuNever;
}

void EmuAddressMode::Enter(std::size_t address, const std::string& echo, EmuMicros now) {
    address_ = address;
    spaces_ = 0;
    valueHigh_ = 0;
    const std::string display = "\r\n" + ByteHere() + "\r\n";
    // Held back: if the host goes on typing (a value, or the CR of a single read) before the
    // delay is over, that input decides what is shown instead.
    out_.Emit(echo, now);
    display_ = display;
    displayAt_ = now + replyDelay_;
}

void EmuAddressMode::Tick(EmuMicros now) {
    if (displayAt_ > now) return;
    out_.Emit(display_, displayAt_);
    Reset();
}

bool EmuAddressMode::Receive(char c, EmuMicros now) {
    Tick(now);  // a display whose moment has come goes out before what this byte makes
    Reset();    // whatever the host types supersedes the byte display that has not gone out yet
    if (c == '\n') return true;
    if (c == '\r') {
        // Show the byte and leave the mode; this doubles as the CR's echo.
        out_.Emit("\r\n" + ByteHere() + "\r\n", now);
        return false;
    }
    const std::string echo = table_.EchoOf(c, 'R');
    if (c == ' ') {
        valueHigh_ = 0;
        if (++spaces_ < 2) {
            out_.Emit(echo, now);
            return true;
        }
        spaces_ = 0;
        if (address_ + 1 >= flash_.Size()) {
            out_.Note("address mode ran past the end of flash");
            table_.Refuse(now);
            return false;
        }
        ++address_;
        out_.Emit(echo + ByteHere(), now);
        return true;
    }
    spaces_ = 0;
    if (!EmuIsHexDigit(c)) {
        if (c != '.') table_.Refuse(now);
        return false;
    }
    if (valueHigh_ == 0) {
        valueHigh_ = c;
        out_.Emit(echo, now);
        return true;
    }
    const auto value = static_cast<std::uint8_t>(EmuHexValue(std::string{valueHigh_, c}));
    valueHigh_ = 0;
    if (!options_.badWrite) flash_.Program(address_, value);
    out_.Note("address " + EmuHex(static_cast<unsigned>(address_), 6) + " written " +
              EmuHex(value, 2) + ", reads " + ByteHere());
    // The read-back follows the echo, so the host compares what really is in flash.
    out_.Emit(echo + " " + ByteHere(), now);
    return true;
}
