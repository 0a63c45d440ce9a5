#pragma once

#include <cstddef>
#include <string>

#include "EmuCommandTable.h"
#include "EmuFlash.h"
#include "EmuOptions.h"
#include "EmuOutbox.h"
#include "EmuTypes.h"

// Byte-address mode, entered by ".R" and a six-digit address. The device shows the byte there;
// two spaces step to the next byte and show it; two hex digits write a value and show what reads
// back (flash only clears bits); CR shows the byte and leaves the mode; anything else leaves it.
class EmuAddressMode {
  public:
    EmuAddressMode(const EmuOptions& options, EmuFlash& flash, EmuCommandTable& table,
                   EmuOutbox& out);

    // `echo` is the echo of the address's last digit.
    void Enter(std::size_t address, const std::string& echo, EmuMicros now);
    // False when `c` ended the mode; a "." that did so begins the next command.
    bool Receive(char c, EmuMicros now);
    void Tick(EmuMicros now);
    EmuMicros NextDeadline() const { return displayAt_; }
    void Reset();

  private:
    std::string ByteHere() const { return EmuHex(flash_.Read(address_), 2); }

    const EmuOptions& options_;
    EmuFlash& flash_;
    EmuCommandTable& table_;
    EmuOutbox& out_;
    EmuMicros replyDelay_;
    std::size_t address_ = 0;
    int spaces_ = 0;
    char valueHigh_ = 0;   // first digit of a value being typed, 0 when none
    std::string display_;  // the byte display still to go out, empty when none
    EmuMicros displayAt_ = kEmuNever;
};
