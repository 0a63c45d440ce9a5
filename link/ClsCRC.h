#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
// The result is handed out as a signed 16-bit value carrying the 16 bits.
class ClsCRC {
  public:
    ClsCRC();
    // A negative length means the whole array.
    std::int16_t CRC16(const std::vector<std::uint8_t>& data, std::int32_t length = -1) const;
    std::int16_t CRC16(const std::uint8_t* data, std::size_t length) const;
    // Element 0 is the high byte, element 1 the low byte.
    std::vector<std::uint8_t> CRC162Var(std::int16_t CRC16_Val) const;

  private:
    std::uint16_t table_[256];
};
