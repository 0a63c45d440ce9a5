#pragma once

#include <cctype>
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
};

// Numbers as the device prints them: upper-case hexadecimal, zero-padded to `digits`.
inline std::string EmuHex(unsigned value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        text[static_cast<std::size_t>(i)] = kDigits[value & 0x0F];
    return text;
}

inline bool EmuIsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// The value of hexadecimal digits that have passed EmuIsHexDigit.
inline unsigned EmuHexValue(const std::string& digits) {
    unsigned value = 0;
    for (const char c : digits) {
        const int d = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
        value = value * 16 + static_cast<unsigned>(d);
    }
    return value;
}
