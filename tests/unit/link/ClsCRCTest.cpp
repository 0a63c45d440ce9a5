#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ClsCRC.h"

namespace {

std::uint16_t Crc(const std::string& s, std::int32_t length = -1) {
    return static_cast<std::uint16_t>(
        ClsCRC().CRC16(std::vector<std::uint8_t>(s.begin(), s.end()), length));
}

// Published check values (polynomial 1021h from zero; byte b gives table entry b); prefixes.
TEST(ClsCRC, CheckValuesPrefixesAndTheSplitOfNegativeValues) {
    // clang-format off
    const std::pair<std::uint16_t, std::uint16_t> rows[] = {
        {Crc("123456789"), 0x31C3}, {Crc("abc"), 0x9DD6}, {Crc(""), 0},
        {Crc(std::string(128, '\0')), 0}, {Crc("\x01"), 0x1021}, {Crc("\x80"), 0x9188},
        {Crc("\xFF"), 0x1EF0}, {Crc("123456789xyz", 9), 0x31C3}, {Crc("abc", 0), 0}};
    // clang-format on
    for (const auto& [got, expected] : rows) EXPECT_EQ(got, expected);

    const ClsCRC crc;
    const std::int16_t v = crc.CRC16(std::vector<std::uint8_t>{'a', 'b', 'c'});
    EXPECT_LT(v, 0);
    EXPECT_EQ(crc.CRC162Var(v), (std::vector<std::uint8_t>{0x9D, 0xD6}));
    EXPECT_EQ(crc.CRC162Var(0x31C3), (std::vector<std::uint8_t>{0x31, 0xC3}));
}

}  // namespace
