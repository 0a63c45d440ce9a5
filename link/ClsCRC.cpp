#include "ClsCRC.h"

namespace {
constexpr std::uint16_t kPolynomial = 0x1021;
}

ClsCRC::ClsCRC() {
    for (int i = 0; i < 256; ++i) {
        std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ kPolynomial)
                                 : static_cast<std::uint16_t>(crc << 1);
        }
        table_[i] = crc;
    }
}

std::int16_t ClsCRC::CRC16(const std::vector<std::uint8_t>& data, std::int32_t length) const {
    std::size_t n = length < 0 ? data.size() : static_cast<std::size_t>(length);
    if (n > data.size()) n = data.size();  // never read past the array
    return CRC16(data.data(), n);
}

std::int16_t ClsCRC::CRC16(const std::uint8_t* data, std::size_t length) const {
    std::uint16_t crc = 0;
    for (std::size_t k = 0; k < length; ++k) {
        crc = static_cast<std::uint16_t>(table_[(crc >> 8) ^ data[k]] ^ (crc << 8));
    }
    return static_cast<std::int16_t>(crc);
}

std::vector<std::uint8_t> ClsCRC::CRC162Var(std::int16_t CRC16_Val) const {
    const auto v = static_cast<std::uint16_t>(CRC16_Val);
    return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v & 0xFF)};
}
