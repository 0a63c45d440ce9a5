#include "EmuFlash.h"

#include <algorithm>
#include <cassert>

namespace {
constexpr std::uint8_t kErased = 0xFF;
constexpr std::size_t kImageHeaderBytes = 8;
const char kHexDigits[] = "0123456789ABCDEF";
}  // namespace

EmuFlash::EmuFlash(int pages, int bankSize)
    : pages_(pages),
      bankSize_(bankSize),
      bytes_(static_cast<std::size_t>(pages) * static_cast<std::size_t>(bankSize), kErased),
      primary_(static_cast<std::size_t>(bankSize), kErased),
      secondary_(static_cast<std::size_t>(bankSize), kErased) {
    assert(pages > 0 && bankSize > 0);
}

void EmuFlash::Erase() {
    std::fill(bytes_.begin(), bytes_.end(), kErased);
}

std::uint8_t EmuFlash::Read(std::size_t address) const {
    return address < bytes_.size() ? bytes_[address] : kErased;
}

void EmuFlash::Program(std::size_t address, std::uint8_t value) {
    if (address < bytes_.size()) bytes_[address] &= value;
}

std::size_t EmuFlash::ProgramImage(const std::vector<std::uint8_t>& image) {
    if (image.size() < kImageHeaderBytes) return 0;
    std::size_t count = (static_cast<std::size_t>(image[6]) << 8) | image[7];
    count = std::min({count, image.size() - kImageHeaderBytes, bytes_.size()});
    for (std::size_t i = 0; i < count; ++i) Program(i, image[kImageHeaderBytes + i]);
    if (count == 0) return 0;
    const auto bank = static_cast<std::size_t>(bankSize_);
    const auto copyBank = [&](std::size_t b, std::vector<std::uint8_t>& into) {
        const auto from = bytes_.begin() + static_cast<std::ptrdiff_t>(b * bank);
        into.assign(from, from + static_cast<std::ptrdiff_t>(bank));
    };
    const std::size_t lastBank = (count - 1) / bank;
    copyBank(lastBank, primary_);
    if (lastBank > 0) copyBank(lastBank - 1, secondary_);
    return count;
}

std::string EmuFlash::BankText(int bank) const {
    std::string text;
    if (bank < 0 || bank >= pages_) return text;
    text.reserve(static_cast<std::size_t>(bankSize_) * 3);
    const std::size_t start = static_cast<std::size_t>(bank) * static_cast<std::size_t>(bankSize_);
    for (std::size_t i = start; i < start + static_cast<std::size_t>(bankSize_); ++i) {
        text += kHexDigits[bytes_[i] >> 4];
        text += kHexDigits[bytes_[i] & 0x0F];
        text += ' ';
    }
    return text;
}
