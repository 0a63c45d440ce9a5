#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>

#include "TestFiles.h"
#include "ZelEncode.h"

extern std::size_t gLargestAllocation;  // AllocationProbe.cpp

namespace {

std::string Bytes(std::initializer_list<int> values) {
    return std::string(values.begin(), values.end());
}

// A stream below 65536 bytes; `rest` is the symbol count, pairs, code block and data block.
std::string He3(int sum, int length, std::initializer_list<int> rest) {
    return Bytes({'H', 'E', '3', '\r', sum, length & 255, length >> 8, 0, 0}) + Bytes(rest);
}

// How an operation fails: error number and text, or "done".
template <class Operation>
std::string Failure(Operation operation) {
    try {
        operation();
        return "done";
    } catch (const ZelEncodeError& e) {
        return std::to_string(e.Number()) + " " + e.Source() + ": " + e.Description();
    }
}
std::string Refusal(const std::string& stream) {
    return Failure([&] { ZelEncode().DecodeString(stream); });
}
const std::string kIndex = "9 clsHuffman.Decode(): Subscript out of range";
const std::string kChecksum =
    "-2147221504 clsHuffman.Decode(): The data might be corrupted (checksum did not match "
    "expected value)";

// Input i of a fixed set: 0 to 200 KiB (mostly a few KiB), in one of nine byte distributions.
std::string Generated(unsigned i) {
    // A 64-bit LCG: the same numbers on every platform, which the standard distributions are not.
    std::uint64_t s = i;
    const auto rng = [&s] { return std::uint32_t((s = s * 6364136223846793005u + 1) >> 33); };
    const std::size_t size = i < 24 ? i : rng() % (i / 9 % 11 == 0 ? 200 * 1024 : 6000);
    const std::uint32_t x = rng(), y = rng(), p = rng() % 100, k = 2 + rng() % 255;
    std::string out;
    const auto put = [&](std::uint32_t v, std::size_t n) {
        out.append(std::min(n, size - out.size()), static_cast<char>(v));
    };
    if (i % 9 == 7) {  // Fibonacci counts: the longest codes a block of this size can have
        for (std::size_t a = 1, b = 1, v = x; out.size() < size; b += a, a = b - a, v += 37)
            put(static_cast<std::uint32_t>(v), a);
        for (std::size_t j = out.size(); j > 1; --j) std::swap(out[j - 1], out[rng() % j]);
    }
    while (out.size() < size) {
        const std::uint32_t r = rng(), skewed = (r & 255) * (r >> 8 & 255) * (r >> 16 & 255) >> 16;
        const auto n = static_cast<std::uint32_t>(out.size());
        const auto text = static_cast<std::uint8_t>(" etaoinshrdlucmfwypvbgkjqxz\r\n"[skewed % 29]);
        // uniform, skewed, runs, one value, two values, text, all 256 values, -, k equal odds
        const std::uint32_t v[] = {
            r, skewed, r, x, r % 100 < p ? x : y, text, n < 256 ? x + n : skewed, r, x + r % k};
        put(v[i % 9], i % 9 == 2 ? 1 + (r >> 8) % 64 : 1);
    }
    return out;
}

TEST(ZelEncode, WorkedExamplesGiveTheExactBytes) {
    const ZelEncode codec;
    // a=0 r=100 b=101 c=110 d=111: pairs, code block BA 07, data block 1A 73 0D.
    const std::string abra =
        He3(0x66, 11, {5, 0, 'a', 1, 'b', 3, 'c', 3, 'd', 3, 'r', 3, 0xBA, 0x07, 0x1A, 0x73, 0x0D});
    EXPECT_EQ(codec.EncodeString("abracadabra"), abra);
    EXPECT_EQ(codec.DecodeString(abra), "abracadabra");
    // Candidates a and b (2 each) when c (1) comes: equal weights, so a gives way. a=0 b=11 c=10.
    EXPECT_EQ(codec.EncodeString("aabbc"), He3('c', 5, {3, 0, 'a', 1, 'b', 2, 'c', 2, 0x0E, 0x7C}));
    // A code that prefixes another still decodes, the shorter wins (a=01 under b=0, c=1): bccbbbbb.
    std::string bc;
    for (int i = 0; i < 10; ++i) bc += "bccbbbbb";
    const std::string overlapping = He3(0, 80, {3, 0, 'a', 2, 'b', 1, 'c', 1, 0x0A});
    EXPECT_EQ(codec.DecodeString(overlapping + std::string(10, 6)), bc);
}

// The fixed input set's streams fold into one pinned number; each decodes, a cut end is refused.
TEST(ZelEncode, GeneratedInputsGiveThePinnedStreamsAndDecodeBack) {
    const ZelEncode codec;
    std::uint64_t digest = 0xCBF29CE484222325ull;  // FNV-1a 64
    for (unsigned i = 0; i < 300; ++i) {
        const std::string input = Generated(i), stream = codec.EncodeString(input);
        digest = (digest ^ stream.size()) * 0x100000001B3ull;
        for (unsigned char c : stream) digest = (digest ^ c) * 0x100000001B3ull;
        if (input.empty()) continue;  // "HE0\r" alone is refused, see below
        ASSERT_EQ(codec.DecodeString(stream), input) << "input " << i;
        if (stream[2] != '3') continue;
        EXPECT_EQ(Refusal(stream.substr(0, stream.size() - 1)), kChecksum) << "input " << i;
    }
    EXPECT_EQ(digest, 0x8523A320743A1885ull);
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
    // Only a=0 has a code: a 1 bit leads nowhere, unless the length ends first (3200 "a" XOR to 0).
    const auto onlyA = [](int length) { return He3(0, length, {1, 0, 'a', 1, 0}); };
    const std::string deep = std::string(400, '\0') + '\1' + std::string(99, '\0');
    const std::string cases[][3] = {
        {"unknown type", "HE1\rxxxxxxxxxxxxx",
         "-2147221504 HuffmanDecode(): The data either was not compressed with HE3 or is corrupt "
         "(identification string not found)"},
        {"data byte changed (decodes as ccaacadabra)", patched(23, "\x1B"), kChecksum},
        {"stored stream of nothing", "HE0\r", kIndex},
        {"header cut short", abra.substr(0, 10), kIndex},
        {"no identification", std::string(40, 'x'), kIndex},
        {"negative length", patched(8, "\x80"), kIndex},
        {"about 2 GB declared", patched(5, "\xFF\xFF\xFF\x7F"), kChecksum},
        {"tree overflow", overflow, kIndex},
        {"missing code in a short block", onlyA(64) + "\x02", kIndex},
        {"missing code in a long block", onlyA(64) + std::string("\0\0\0\x02\0\0\0\0", 8), kIndex},
        {"missing code deep in a long block", onlyA(4000) + deep, kIndex},
        {"missing code after the declared length", onlyA(3200) + deep, "done"},
    };
    for (const auto& c : cases) {
        gLargestAllocation = 0;
        EXPECT_EQ(Refusal(c[1]), c[2]) << c[0];
        EXPECT_LT(gLargestAllocation, std::size_t{1} << 16) << c[0];
    }
    // A declared length short of the data stops the decoder there, wherever that falls.
    const std::string input = Generated(28), full = ZelEncode().EncodeString(input);
    for (int n = 1, sum = 0; n < 64; ++n) {
        sum ^= input[n - 1];
        const std::string shorter = full.substr(0, 4) + Bytes({sum, n, 0, 0, 0}) + full.substr(9);
        EXPECT_EQ(ZelEncode().DecodeString(shorter), input.substr(0, n));
    }
    // A declared length of 0 hands the stream back as it is.
    const std::string zeroLength = He3(9, 0, {0, 0, 'j', 'u', 'n', 'k'});
    EXPECT_EQ(ZelEncode().DecodeString(zeroLength), zeroLength);
}

TEST(ZelEncode, FilesRoundTripAndMissingSourcesAreReported) {
    TempDir dir;
    const ZelEncode codec;
    WriteBytes(dir / "plain", "abracadabra");
    for (const char* old : {"packed", "back"}) WriteBytes(dir / old, std::string(100, 'x'));
    codec.EncodeFile(dir / "plain", dir / "packed");
    EXPECT_EQ(ReadBytes(dir / "packed"), codec.EncodeString("abracadabra"));
    codec.DecodeFile(dir / "packed", dir / "back");
    EXPECT_EQ(ReadBytes(dir / "back"), "abracadabra");
    EXPECT_EQ(Failure([&] { codec.EncodeFile(dir / "none", dir / "out"); }) + "|" +
                  Failure([&] { codec.DecodeFile(dir / "none", dir / "out"); }),
              "-2147221504 clsHuffman.EncodeFile(): Source file does not exist|"
              "-2147221504 clsHuffman.DecodeFile(): Source file does not exist");
    EXPECT_THROW(codec.DecodeFile(dir / "plain", dir / "out"), ZelEncodeError);
    EXPECT_FALSE(std::filesystem::exists(dir / "out")) << "a failed decode writes nothing";
}

}  // namespace
