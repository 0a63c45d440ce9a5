#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

// Microseconds on the emulator's monotonic clock.
using EmuMicros = std::int64_t;
constexpr EmuMicros kEmuNever = std::numeric_limits<EmuMicros>::max();
constexpr EmuMicros kMicrosPerMs = 1000;

// CRC-16/XMODEM (polynomial 1021h, initial value 0), bit by bit. The device keeps its own,
// apart from the host's table-driven one, so that a transfer it accepts has been checked by
// code that shares nothing with the sender.
inline std::uint16_t EmuCrc16(const std::uint8_t* data, std::size_t size) {
    unsigned crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<unsigned>(data[i]) << 8;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    }
    return static_cast<std::uint16_t>(crc & 0xFFFF);
}

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
