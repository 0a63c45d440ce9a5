#include "DeviceCommon.h"

#include <cstdio>
#include <stdexcept>

#include "Percent.h"
#include "clsError.h"

namespace fpdevice {

bool BeginOperation(DeviceContext& context) {
    SetError(context, 0);
    return context.gblnConnected;
}

void SetError(DeviceContext& context, std::int32_t number) {
    if (context.gobjError != nullptr) context.gobjError->Number(number);
}

bool HexField(std::int64_t value, int width, std::string& out) {
    if (value < 0) return false;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*llX", width, static_cast<unsigned long long>(value));
    const std::string text(buffer);
    if (text.size() > static_cast<std::size_t>(width)) return false;
    out = text;
    return true;
}

std::uint32_t ParseHex(const std::string& text) {
    if (text.empty()) throw std::invalid_argument("empty hexadecimal text");
    std::uint64_t value = 0;
    for (const char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            throw std::invalid_argument("not a hexadecimal digit");
        }
        value = value * 16 + static_cast<std::uint64_t>(digit);
        if (value > 0xFFFFFFFFULL) throw std::invalid_argument("hexadecimal value too large");
    }
    return static_cast<std::uint32_t>(value);
}

bool BankHasData(const std::string& text) {
    return text.find_first_not_of("F ") != std::string::npos;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    if (text.empty()) return pieces;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

std::string Right(const std::string& text, std::size_t count) {
    return text.size() <= count ? text : text.substr(text.size() - count);
}

std::int16_t Percent(double part, double whole, double scale, double offset) {
    return RoundPercent(part / whole * scale + offset);
}

}  // namespace fpdevice
