#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ClsCRC.h"

namespace {

std::uint16_t Crc(const std::string& s, std::int32_t length = -1) {
    return static_cast<std::uint16_t>(ClsCRC().CRC16(std::vector<std::uint8_t>(s.begin(), s.end()), length));
}

TEST(ClsCRC, CheckValuesAndTableEntries) {
    EXPECT_EQ(Crc("123456789"), 0x31C3);
    EXPECT_EQ(Crc("abc"), 0x9DD6);
    EXPECT_EQ(Crc(""), 0);
    EXPECT_EQ(Crc(std::string(128, '\0')), 0);
    // The CRC of a single byte b is table entry b.
    EXPECT_EQ(Crc(std::string(1, '\x01')), 0x1021);
    EXPECT_EQ(Crc(std::string(1, '\x80')), 0x9188);
    EXPECT_EQ(Crc(std::string(1, '\xFF')), 0x1EF0);
}

TEST(ClsCRC, LengthSelectsThePrefixAndMinusOneMeansAll) {
    std::string block;
    for (int k = 0; k < 128; ++k) block.push_back(static_cast<char>(k * 7 + 3));
    EXPECT_EQ(Crc(block, -1), Crc(block, 128));
    EXPECT_EQ(Crc(block, 0), 0);
    EXPECT_EQ(Crc("123456789xyz", 9), 0x31C3);
}

TEST(ClsCRC, HighValuesAreNegativeButSplitIntoTheRightBytes) {
    const ClsCRC crc;
    const std::int16_t v = crc.CRC16(std::vector<std::uint8_t>{'a', 'b', 'c'});
    EXPECT_LT(v, 0);
    EXPECT_EQ(crc.CRC162Var(v), (std::vector<std::uint8_t>{0x9D, 0xD6}));
    EXPECT_EQ(crc.CRC162Var(0x31C3), (std::vector<std::uint8_t>{0x31, 0xC3}));
}

}  // namespace
