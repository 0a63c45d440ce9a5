#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "ZelEncode.h"

extern std::atomic<std::size_t> gLargestAllocation;  // AllocationProbe.cpp

namespace {

using Kind = ZelEncodeError::Kind;

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}

std::string Random(std::mt19937& rng, std::size_t size, unsigned alphabet) {
    std::string out(size, '\0');
    for (char& c : out) {
        c = static_cast<char>(rng() % alphabet);
    }
    return out;
}

// The decoder written as plainly as possible, one bit at a time down the node table. The fast
// table-driven decoder must agree with it on every stream, valid or not.
std::string PlainDecode(const std::string& s) {
    auto at = [&](std::size_t i) -> int {
        if (i >= s.size()) {
            throw Kind::Index;
        }
        return static_cast<std::uint8_t>(s[i]);
    };
    if (at(0) == 'H' && at(1) == 'E' && at(3) == '\r') {
        if (at(2) == '0') {
            return at(4), s.substr(4);
        }
        if (at(2) != '3') {
            throw Kind::Identification;
        }
    }
    const auto length = static_cast<std::int32_t>(static_cast<std::uint32_t>(
        at(5) | at(6) << 8 | at(7) << 16 | static_cast<std::uint32_t>(at(8)) << 24));
    const auto symbols = static_cast<std::int16_t>(at(9) | at(10) << 8);
    if (length == 0) {
        return s;
    }
    if (length < 0) {
        throw Kind::Index;
    }
    std::array<int, 256> lengths{};
    std::size_t offset = 11, bit = 0;
    for (int i = 0; i < symbols; ++i, offset += 2) {
        lengths[static_cast<std::size_t>(at(offset))] = at(offset + 1);
    }
    std::array<int, 512> zero, one, value;
    zero.fill(-1), one.fill(-1), value.fill(-1);
    int nodes = 1;
    for (int v = 0; v < 256; ++v) {
        int node = 0;
        for (int j = 0; j < lengths[static_cast<std::size_t>(v)]; ++j, ++bit) {
            int& link = (at(offset + bit / 8) >> (bit % 8)) & 1 ? one[node] : zero[node];
            if (link < 0 && nodes == 512) {
                throw Kind::Index;
            }
            node = link < 0 ? (link = nodes++) : link;
        }
        value[node] = v;
    }
    std::string out;
    std::uint8_t sum = 0;
    int node = 0;
    for (std::size_t i = (offset + (bit + 7) / 8) * 8;
         i < s.size() * 8 && out.size() < std::size_t(length); ++i) {
        node = (s[i / 8] >> (i % 8)) & 1 ? one[node] : zero[node];
        if (node < 0) {
            throw Kind::Index;
        }
        if (value[node] >= 0) {
            out.push_back(static_cast<char>(value[node])), sum ^= value[node], node = 0;
        }
    }
    if (out.size() < std::size_t(length) || sum != at(4)) {
        throw Kind::Checksum;
    }
    return out;
}

TEST(ZelEncode, WorkedExamplesGiveTheExactBytes) {
    const ZelEncode codec;
    const std::string abc = Bytes({0x48, 0x45, 0x33, 0x0D, 0x60, 0x03, 0x00, 0x00, 0x00, 0x03, 0x00,
                                   0x61, 0x02, 0x62, 0x02, 0x63, 0x01, 0x0D, 0x0D});
    EXPECT_EQ(codec.EncodeString("abc"), abc);
    EXPECT_EQ(codec.DecodeString(abc), "abc");
    // a=0 r=100 b=101 c=110 d=111: pairs, code block BA 07, data block 1A 73 0D.
    const std::string abra = codec.EncodeString("abracadabra");
    EXPECT_EQ(abra, Bytes({0x48, 0x45, 0x33, 0x0D, 'a' ^ 'c' ^ 'd',
                           11,   0,    0,    0,    5,
                           0,    'a',  1,    'b',  3,
                           'c',  3,    'd',  3,    'r',
                           3,    0xBA, 0x07, 0x1A, 0x73,
                           0x0D}));
    EXPECT_EQ(codec.DecodeString(abra), "abracadabra");
    // Candidates a and b (2 each) when c (1) comes: equal weights, so a gives way. a=0 b=11 c=10.
    EXPECT_EQ(codec.EncodeString("aabbc"), Bytes({0x48, 0x45, 0x33, 0x0D, 0x63, 5, 0, 0, 0, 3, 0,
                                                  'a', 1, 'b', 2, 'c', 2, 0x0E, 0x7C}));
    EXPECT_EQ(codec.EncodeString("aaaa"), Bytes({0x48, 0x45, 0x30, 0x0D, 'a', 'a', 'a', 'a'}));
    EXPECT_EQ(codec.DecodeString("HE0\raaaa"), "aaaa");
    EXPECT_EQ(codec.EncodeString(""), "HE0\r");
    std::string all;
    for (int v = 0; v < 256; ++v) {
        all += std::string(static_cast<std::size_t>(v % 7 + 1), char(v));
    }
    EXPECT_EQ(codec.EncodeString(all).substr(9, 2), Bytes({0x00, 0x01}));
}

TEST(ZelEncode, RoundTripsAreExactAndRepeatable) {
    std::mt19937 rng(1234);
    std::vector<std::string> inputs = {std::string("\0\r\n\xff", 4), Random(rng, 300000, 200)};
    for (std::size_t size : {1u, 9u, 257u, 4099u}) {
        for (unsigned alphabet : {2u, 17u, 256u}) {
            inputs.push_back(Random(rng, size, alphabet));
        }
    }
    std::string skewed;  // Fibonacci counts: codes far longer than the decoder's lookup width
    for (std::size_t symbol = 0, a = 1, b = 1; symbol < 24; ++symbol, b += a, a = b - a) {
        skewed += std::string(a, char(symbol * 7));
    }
    std::shuffle(skewed.begin(), skewed.end(), rng);
    inputs.push_back(skewed);
    for (const std::string& input : inputs) {
        const std::string stream = ZelEncode().EncodeString(input);
        EXPECT_EQ(ZelEncode().EncodeString(input), stream);
        EXPECT_EQ(ZelEncode().DecodeString(stream), input) << input.size() << " bytes";
    }
}

TEST(ZelEncode, BadStreamsFailWithTheirErrorAndBoundedMemory) {
    const std::string abra = ZelEncode().EncodeString("abracadabra");
    auto patched = [&](std::size_t at, const std::string& bytes) {
        return std::string(abra).replace(at, bytes.size(), bytes);
    };
    // Three 255-bit codes that part early need more than 512 tree nodes.
    std::string overflow =
        Bytes({'H', 'E', '3', '\r', 0, 1, 0, 0, 0, 3, 0, 0, 255, 1, 255, 2, 255}) +
        std::string(100, '\0');
    overflow[17 + 255 / 8] = static_cast<char>(1 << (255 % 8));
    overflow[17 + 510 / 8] = static_cast<char>(3 << (510 % 8));
    const struct {
        const char* what;
        std::string stream;
        Kind kind;
    } cases[] = {
        {"unknown type", "HE1\rxxxxxxxxxxxxx", Kind::Identification},
        {"data byte changed (decodes as ccaacadabra)", patched(23, "\x1B"), Kind::Checksum},
        {"empty", "", Kind::Index},
        {"stored stream of nothing", "HE0\r", Kind::Index},
        {"header cut short", abra.substr(0, 10), Kind::Index},
        {"last data byte missing", abra.substr(0, 25), Kind::Checksum},
        {"no identification", std::string(40, 'x'), Kind::Index},
        {"negative length", patched(8, "\x80"), Kind::Index},
        {"about 2 GB declared", patched(5, "\xFF\xFF\xFF\x7F"), Kind::Checksum},
        {"tree overflow", overflow, Kind::Index},
    };
    for (const auto& c : cases) {
        gLargestAllocation = 0;
        try {
            ZelEncode().DecodeString(c.stream);
            ADD_FAILURE() << c.what << " decoded";
        } catch (const ZelEncodeError& e) {
            EXPECT_EQ(e.ErrorKind(), c.kind) << c.what;
            EXPECT_EQ(e.Number(),
                      c.kind == Kind::Index ? 9 : static_cast<std::int32_t>(0x80040000u));
            const std::string text = e.Source() + ": " + e.Description();
            if (c.kind == Kind::Identification) {
                EXPECT_EQ(text,
                          "HuffmanDecode(): The data either was not compressed with HE3 or is "
                          "corrupt (identification string not found)");
            } else if (c.kind == Kind::Checksum) {
                EXPECT_EQ(text,
                          "clsHuffman.Decode(): The data might be corrupted (checksum did not "
                          "match expected value)");
            }
        }
        EXPECT_LT(gLargestAllocation.load(), std::size_t{1} << 16) << c.what;
    }
    // A declared length of 0 hands the stream back as it is.
    const std::string zeroLength =
        Bytes({'H', 'E', '3', '\r', 9, 0, 0, 0, 0, 0, 0, 'j', 'u', 'n', 'k'});
    EXPECT_EQ(ZelEncode().DecodeString(zeroLength), zeroLength);
}

TEST(ZelEncode, HostileStreamsDecodeLikeThePlainDecoder) {
    std::mt19937 rng(20240601);
    std::vector<std::string> seeds;
    for (unsigned alphabet : {2u, 5u, 40u, 256u}) {
        for (std::size_t size : {3u, 30u, 300u, 1500u}) {
            const std::string s = ZelEncode().EncodeString(Random(rng, size, alphabet));
            if (s[2] == '3') {
                seeds.push_back(s);
            }
        }
    }
    for (int round = 0; round < 3000; ++round) {
        std::string s = seeds[static_cast<std::size_t>(round) % seeds.size()];
        if (round % 4 == 3) {
            s = (round % 2 ? "HE3\r" : "") + Random(rng, rng() % 600, 256);
        } else if (round % 4 == 2) {
            s.resize(rng() % s.size());
        } else {  // a few bytes changed, half of the time in the header and code tables
            const std::size_t span =
                round % 4 == 0 ? std::min<std::size_t>(60, s.size()) : s.size();
            for (int i = 0; i <= round % 3; ++i) {
                s[rng() % span] = char(rng());
            }
        }
        std::string expected;
        int expectedKind = -1;
        try {
            expected = PlainDecode(s);
        } catch (Kind k) {
            expectedKind = static_cast<int>(k);
        }
        try {
            ASSERT_EQ(ZelEncode().DecodeString(s), expected) << "round " << round;
            ASSERT_EQ(expectedKind, -1) << "round " << round;
        } catch (const ZelEncodeError& e) {
            ASSERT_EQ(static_cast<int>(e.ErrorKind()), expectedKind)
                << "round " << round << ": " << e.what();
        }
    }
}

TEST(ZelEncode, FilesRoundTripAndMissingSourcesAreReported) {
    TempDir dir;
    const ZelEncode codec;
    WriteBytes(dir / "plain", "abracadabra");
    for (const char* name : {"packed", "back"}) {
        WriteBytes(dir / name, std::string(100, 'x'));
    }
    codec.EncodeFile(dir / "plain", dir / "packed");  // existing destinations are replaced
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
