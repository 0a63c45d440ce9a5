#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "ZelEncode.h"

extern std::size_t gLargestAllocation;  // AllocationProbe.cpp

namespace {

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out.push_back(static_cast<char>(v));
    return out;
}

// A compressed stream with a length below 256; `rest` is the symbol count, the pairs, the code
// block and the data block.
std::string He3(int sum, int length, std::initializer_list<int> rest) {
    return Bytes({'H', 'E', '3', '\r', sum, length, 0, 0, 0}) + Bytes(rest);
}

// How the decoder refuses a stream: error number and text, or "decoded".
std::string Refusal(const std::string& stream) {
    try {
        ZelEncode().DecodeString(stream);
        return "decoded";
    } catch (const ZelEncodeError& e) {
        return std::to_string(e.Number()) + " " + e.Source() + ": " + e.Description();
    }
}
const std::string kIndex = "9 clsHuffman.Decode(): Subscript out of range";
const std::string kChecksum =
    "-2147221504 clsHuffman.Decode(): The data might be corrupted (checksum did not match "
    "expected value)";

std::string Random(std::mt19937& rng, std::size_t size, unsigned alphabet) {
    std::string out(size, '\0');
    for (char& c : out) c = static_cast<char>(rng() % alphabet);
    return out;
}

TEST(ZelEncode, WorkedExamplesGiveTheExactBytes) {
    const ZelEncode codec;
    const std::string abc = He3(0x60, 3, {3, 0, 'a', 2, 'b', 2, 'c', 1, 0x0D, 0x0D});
    EXPECT_EQ(codec.EncodeString("abc"), abc);
    EXPECT_EQ(codec.DecodeString(abc), "abc");
    // a=0 r=100 b=101 c=110 d=111: pairs, code block BA 07, data block 1A 73 0D.
    const std::string abra = He3('a' ^ 'c' ^ 'd', 11, {5, 0, 'a', 1, 'b', 3, 'c', 3, 'd', 3, 'r', 3,
                                                       0xBA, 0x07, 0x1A, 0x73, 0x0D});
    EXPECT_EQ(codec.EncodeString("abracadabra"), abra);
    EXPECT_EQ(codec.DecodeString(abra), "abracadabra");
    // Candidates a and b (2 each) when c (1) comes: equal weights, so a gives way. a=0 b=11 c=10.
    EXPECT_EQ(codec.EncodeString("aabbc"), He3('c', 5, {3, 0, 'a', 1, 'b', 2, 'c', 2, 0x0E, 0x7C}));
    EXPECT_EQ(codec.EncodeString("aaaa"), "HE0\raaaa");
    EXPECT_EQ(codec.DecodeString("HE0\raaaa"), "aaaa");
    EXPECT_EQ(codec.EncodeString(""), "HE0\r");
    std::string all;
    for (int v = 0; v < 256; ++v) all += std::string(std::size_t(v % 7 + 1), char(v));
    const std::string allStream = codec.EncodeString(all);
    EXPECT_EQ(allStream.substr(9, 2), Bytes({0x00, 0x01}));  // 256 symbols
    EXPECT_EQ(codec.DecodeString(allStream), all);
    // A code table where one code is the prefix of another still decodes: the shorter code
    // wins (a=01 lies under b=0, c=1), so each 06 reads b c c b b b b b.
    std::string bc;
    for (int i = 0; i < 10; ++i) bc += "bccbbbbb";
    const std::string overlapping = He3(0, 80, {3, 0, 'a', 2, 'b', 1, 'c', 1, 0x0A});
    EXPECT_EQ(codec.DecodeString(overlapping + std::string(10, 6)), bc);
}

TEST(ZelEncode, RoundTripsAreExactAndRepeatableAndCutStreamsFail) {
    std::mt19937 rng(1234);
    std::vector<std::string> inputs = {std::string("\0\r\n\xff", 4), Random(rng, 300000, 200)};
    for (std::size_t size : {1u, 9u, 257u, 4099u}) {
        for (unsigned alphabet : {2u, 17u, 256u}) inputs.push_back(Random(rng, size, alphabet));
    }
    std::string skewed;  // Fibonacci counts: codes far longer than the decoder's lookup width
    for (std::size_t symbol = 0, a = 1, b = 1; symbol < 24; ++symbol, b += a, a = b - a) {
        skewed += std::string(a, char(symbol * 7));
    }
    std::shuffle(skewed.begin(), skewed.end(), rng);
    inputs.push_back(skewed);
    std::string eight;  // eight equal counts: every code 3 bits long over a long block
    for (int i = 0; i < 4096; ++i) eight += char('A' + i % 8);
    std::shuffle(eight.begin(), eight.end(), rng);
    inputs.push_back(eight);
    for (const std::string& input : inputs) {
        const std::string stream = ZelEncode().EncodeString(input);
        EXPECT_EQ(ZelEncode().EncodeString(input), stream);
        EXPECT_EQ(ZelEncode().DecodeString(stream), input) << input.size() << " bytes";
        if (stream[2] == '3') {  // the last byte always holds part of the last code
            EXPECT_EQ(Refusal(stream.substr(0, stream.size() - 1)), kChecksum) << input.size();
        }
    }
}

TEST(ZelEncode, BadStreamsFailWithTheirErrorAndBoundedMemory) {
    const std::string abra = ZelEncode().EncodeString("abracadabra");
    auto patched = [&](std::size_t at, const std::string& bytes) {
        return std::string(abra).replace(at, bytes.size(), bytes);
    };
    // Three 255-bit codes that part early need more than 512 tree nodes.
    std::string overflow = He3(0, 1, {3, 0, 0, 255, 1, 255, 2, 255}) + std::string(100, '\0');
    overflow[17 + 255 / 8] = static_cast<char>(1 << (255 % 8));
    overflow[17 + 510 / 8] = static_cast<char>(3 << (510 % 8));
    // Only a=0 has a code, so a 1 bit in the data leads nowhere.
    const std::string onlyA = He3(0, 64, {1, 0, 'a', 1, 0x00});
    const struct {
        const char* what;
        std::string stream;
        std::string refusal;
    } cases[] = {
        {"unknown type", "HE1\rxxxxxxxxxxxxx",
         "-2147221504 HuffmanDecode(): The data either was not compressed with HE3 or is corrupt "
         "(identification string not found)"},
        {"data byte changed (decodes as ccaacadabra)", patched(23, "\x1B"), kChecksum},
        {"empty", "", kIndex},
        {"stored stream of nothing", "HE0\r", kIndex},
        {"header cut short", abra.substr(0, 10), kIndex},
        {"no identification", std::string(40, 'x'), kIndex},
        {"negative length", patched(8, "\x80"), kIndex},
        {"about 2 GB declared", patched(5, "\xFF\xFF\xFF\x7F"), kChecksum},
        {"tree overflow", overflow, kIndex},
        {"missing code in a short block", onlyA + "\x02", kIndex},
        {"missing code in a long block", onlyA + std::string("\0\0\0\x02\0\0\0\0", 8), kIndex},
    };
    for (const auto& c : cases) {
        gLargestAllocation = 0;
        EXPECT_EQ(Refusal(c.stream), c.refusal) << c.what;
        EXPECT_LT(gLargestAllocation, std::size_t{1} << 16) << c.what;
    }
    // A declared length short of the data stops the decoder there, wherever that falls.
    std::mt19937 rng(7);
    const std::string input = Random(rng, 4099, 3), full = ZelEncode().EncodeString(input);
    for (std::uint32_t n = 1; n < 64; ++n) {
        std::string shorter = full;
        shorter[4] = 0;
        for (std::uint32_t i = 0; i < n; ++i) shorter[4] ^= input[i];
        shorter.replace(5, 4, Bytes({int(n), 0, 0, 0}));
        EXPECT_EQ(ZelEncode().DecodeString(shorter), input.substr(0, n));
    }
    // A long block whose only bad code sits in its second half: refused, unless the declared
    // length ends before it (4000 and 3200 times "a" both XOR to 0).
    std::string data(500, '\0');
    data[400] = 1;
    const auto onlyALong = [&](int length) {
        return Bytes({'H', 'E', '3', '\r', 0, length & 0xFF, length >> 8, 0, 0, 1, 0, 'a', 1, 0}) +
               data;
    };
    EXPECT_EQ(Refusal(onlyALong(4000)), kIndex);
    EXPECT_EQ(ZelEncode().DecodeString(onlyALong(3200)), std::string(3200, 'a'));
    // A declared length of 0 hands the stream back as it is.
    const std::string zeroLength = He3(9, 0, {0, 0, 'j', 'u', 'n', 'k'});
    EXPECT_EQ(ZelEncode().DecodeString(zeroLength), zeroLength);
}

TEST(ZelEncode, FilesRoundTripAndMissingSourcesAreReported) {
    TempDir dir;
    const ZelEncode codec;
    WriteBytes(dir / "plain", "abracadabra");
    WriteBytes(dir / "packed", std::string(100, 'x'));  // existing destinations are replaced
    WriteBytes(dir / "back", std::string(100, 'x'));
    codec.EncodeFile(dir / "plain", dir / "packed");
    EXPECT_EQ(ReadBytes(dir / "packed"), codec.EncodeString("abracadabra"));
    codec.DecodeFile(dir / "packed", dir / "back");
    EXPECT_EQ(ReadBytes(dir / "back"), "abracadabra");
    try {
        codec.DecodeFile(dir / "none", dir / "out");
        FAIL();
    } catch (const ZelEncodeError& e) {
        EXPECT_EQ(e.Source() + ": " + e.Description(),
                  "clsHuffman.DecodeFile(): Source file does not exist");
    }
    EXPECT_THROW(codec.DecodeFile(dir / "plain", dir / "out"), ZelEncodeError);
    EXPECT_FALSE(std::filesystem::exists(dir / "out")) << "a failed decode writes nothing";
}

}  // namespace
