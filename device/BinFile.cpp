#include "BinFile.h"

#include <algorithm>

#include "OwnTexts.h"

namespace binfile {

std::size_t DataCount(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < kHeaderBytes) return 0;
    return static_cast<std::size_t>(bytes[6]) << 8 | bytes[7];
}

std::string Problem(const std::vector<std::uint8_t>& bytes, int language) {
    if (bytes.size() < kHeaderBytes) {
        return owntext::Format(owntext::kBinTooShort, language, {std::to_string(bytes.size())});
    }
    const std::size_t count = DataCount(bytes);
    const std::size_t present = bytes.size() - kHeaderBytes;
    if (count == 0) return owntext::Text(owntext::kBinNoData, language);
    if (count > present) {
        return owntext::Format(owntext::kBinTruncated, language,
                               {std::to_string(count), std::to_string(present)});
    }
    return {};
}

std::string Warning(const std::vector<std::uint8_t>& bytes, int language) {
    if (!Problem(bytes).empty()) return {};
    if (std::any_of(bytes.begin(), bytes.begin() + 6, [](std::uint8_t b) { return b != 0; })) {
        return owntext::Text(owntext::kBinHeaderNotZero, language);
    }
    const std::size_t extra = bytes.size() - kHeaderBytes - DataCount(bytes);
    if (extra > 0)
        return owntext::Format(owntext::kBinExtraBytes, language, {std::to_string(extra)});
    return {};
}

std::vector<std::uint8_t> Header(std::size_t count) {
    return {0,
            0,
            0,
            0,
            0,
            0,
            static_cast<std::uint8_t>(count >> 8 & 0xFF),
            static_cast<std::uint8_t>(count & 0xFF)};
}

std::vector<std::uint8_t> FlashData(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() <= kHeaderBytes) return {};
    const std::size_t count = std::min(DataCount(bytes), bytes.size() - kHeaderBytes);
    const auto begin = bytes.begin() + static_cast<std::ptrdiff_t>(kHeaderBytes);
    std::vector<std::uint8_t> data(begin, begin + static_cast<std::ptrdiff_t>(count));
    while (!data.empty() && data.back() == 0xFF) data.pop_back();
    return data;
}

}  // namespace binfile
