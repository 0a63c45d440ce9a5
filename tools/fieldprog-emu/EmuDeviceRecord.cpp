#include "EmuDeviceRecord.h"

#include <algorithm>
#include <cstdio>

namespace {
constexpr std::size_t kImagePadding = 128;  // one block's worth, plus the spare byte
}  // namespace

std::string EmuDeviceRecord::Verdict() const {
    if (!transferStarted) return "NONE";
    return transferEnded && badBlocks == 0 && failure.empty() ? "OK" : "FAIL";
}

std::uint16_t EmuDeviceRecord::ImageCrc() const {
    return EmuCrc16(image.data(), image.size());
}

std::string EmuDeviceLine(const EmuDeviceRecord& r) {
    char crc[8];
    std::snprintf(crc, sizeof crc, "0x%04X", static_cast<unsigned>(r.ImageCrc()));
    return "DEVICE " + std::to_string(r.number) + " RECEIVED " + std::to_string(r.image.size()) +
           " BYTES CRC " + crc + " BLOCKS " + std::to_string(r.goodBlocks) + " " + r.Verdict();
}

std::string EmuDeviceRecord::CompareWith(const std::vector<std::uint8_t>& expected) const {
    const std::size_t common = std::min(image.size(), expected.size());
    const auto diff = std::mismatch(
        image.begin(), image.begin() + static_cast<std::ptrdiff_t>(common), expected.begin());
    std::size_t offset = static_cast<std::size_t>(diff.first - image.begin());
    if (offset == common && image.size() >= expected.size()) {
        const auto extra = std::find_if(image.begin() + static_cast<std::ptrdiff_t>(common),
                                        image.end(), [](std::uint8_t b) { return b != 0; });
        offset = static_cast<std::size_t>(extra - image.begin());
        if (offset == image.size()) {
            if (image.size() - expected.size() <= kImagePadding) return "MATCH";
            offset = expected.size() + kImagePadding;
        }
    }
    return "MISMATCH AT " + std::to_string(offset);
}
