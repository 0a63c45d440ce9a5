#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "DeviceContext.h"

// What every command group does the same way: the start of an operation, error numbers,
// faults, and the hexadecimal texts the device speaks.
namespace fpdevice {

constexpr std::int16_t kReplyLoops = 50;    // polling rounds a command reply may take
constexpr std::int16_t kLineEndReply = -1;  // reply ends with a line end, not a byte count
constexpr std::int16_t kEchoDelayMs = 50;   // pause between echo reads of one character

// Clears the last error and tells whether the device may be spoken to at all.
bool BeginOperation(DeviceContext& context);
void SetError(DeviceContext& context, std::int32_t number);

// Runs `body`; an exception thrown inside is a fault: it records `faultNumber` (0 records
// nothing) and the operation gives false.
template <typename Body>
bool RunGuarded(DeviceContext& context, std::int32_t faultNumber, Body&& body) {
    try {
        return body();
    } catch (const std::exception&) {
        if (faultNumber != 0) SetError(context, faultNumber);
        return false;
    }
}

// `value` as exactly `width` upper-case hexadecimal digits, padded with "0". False when the
// number does not fit; a negative number never fits (its hexadecimal form has 8 digits).
bool HexField(std::int64_t value, int width, std::string& out);
// A hexadecimal number of either case. Throws std::invalid_argument for an empty text, a
// character that is not a hexadecimal digit, or a value above FFFFFFFFh.
std::uint32_t ParseHex(const std::string& text);
// True when the text holds anything but "F" and spaces: erased flash reads "FF".
bool BankHasData(const std::string& text);
// Pieces between separators. An empty text has no pieces; a final separator leaves an empty
// last piece.
std::vector<std::string> Split(const std::string& text, char separator);
// The last `count` characters, or the whole text when it is shorter.
std::string Right(const std::string& text, std::size_t count);
// Percentage helper: part ÷ whole × scale + offset in double precision, rounded half to even.
// Throws when the division has no finite result (whole = 0).
std::int16_t Percent(double part, double whole, double scale, double offset = 0.0);

}  // namespace fpdevice
