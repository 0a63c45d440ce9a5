#pragma once

#include <cstdint>
#include <limits>
#include <string>

// Microseconds on the emulator's monotonic clock.
using EmuMicros = std::int64_t;
constexpr EmuMicros kEmuNever = std::numeric_limits<EmuMicros>::max();
constexpr EmuMicros kMicrosPerMs = 1000;

// One piece of device output and the earliest moment it may start on the line.
struct EmuOutput {
    std::string bytes;
    EmuMicros notBefore = 0;
    bool atomic = false;  // must reach the host in one read (an echo with what it carries)
};
