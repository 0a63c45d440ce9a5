#include "BenchData.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>

namespace {

using Random = std::mt19937;

// Opcode frequencies of hand-written controller code fall off steeply: a few loads, stores,
// calls and branches dominate, a long tail of rarer instructions follows.
std::uint8_t Opcode(Random& random) {
    static const std::array<std::uint8_t, 24> kCommon = {
        0x86, 0xB6, 0xB7, 0x97, 0x96, 0xBD, 0x7E, 0x26, 0x27, 0x20, 0x39, 0xCE,
        0xDE, 0xDF, 0x81, 0x4F, 0x5F, 0x08, 0x09, 0x4C, 0x4A, 0xA6, 0xE6, 0x18};
    std::geometric_distribution<int> rank(0.11);
    const int r = rank(random);
    if (r < static_cast<int>(kCommon.size())) return kCommon[static_cast<std::size_t>(r)];
    return static_cast<std::uint8_t>(random() & 0xFF);
}

void AppendCode(std::string& out, std::size_t size, Random& random) {
    std::uniform_int_distribution<int> operands(0, 3);
    std::geometric_distribution<int> smallValue(0.08);
    while (out.size() < size) {
        out += static_cast<char>(Opcode(random));
        switch (operands(random)) {
            case 0:
                break;  // inherent
            case 1:
                out += static_cast<char>(std::min(smallValue(random), 255));
                break;  // immediate
            case 2:
                out += static_cast<char>(static_cast<std::uint8_t>(random() % 24) - 12);
                break;  // branch
            default:    // extended address: code and I/O live in a few pages
                out += static_cast<char>(0xC0 + random() % 16 + (random() % 4 == 0 ? -0xB0 : 0));
                out += static_cast<char>(random() & 0xFF);
        }
    }
    out.resize(size);
}

void AppendText(std::string& out, std::size_t size, Random& random) {
    static const char* const kWords[] = {
        "the",      "coin",   "changer", "tube",   "level",   "sensor",    "value",    "accept",
        "reject",   "escrow", "payout",  "error",  "button",  "press",     "field",    "programmer",
        "firmware", "table",  "token",   "credit", "inhibit", "validator", "dispense", "of",
        "and",      "to",     "is",      "in",     "on",      "a"};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kWords / sizeof kWords[0] - 1);
    std::uniform_int_distribution<int> punctuation(0, 15);
    while (out.size() < size) {
        out += kWords[pick(random)];
        const int p = punctuation(random);
        out += p == 0 ? ".\r\n" : p == 1 ? ", " : " ";
    }
    out.resize(size);
}

}  // namespace

std::string FirmwareLikeImage(std::size_t size) {
    Random random(0x5EED);
    const std::size_t n = size > 8 ? size - 8 : 0;
    std::string image(6, '\0');
    image += static_cast<char>((n >> 8) & 0xFF);
    image += static_cast<char>(n & 0xFF);

    const std::size_t code = n * 70 / 100, messages = n * 12 / 100, tables = n * 10 / 100;
    AppendCode(image, 8 + code, random);
    AppendText(image, 8 + code + messages, random);
    std::geometric_distribution<int> coin(0.2);
    while (image.size() < 8 + code + messages + tables)
        image += static_cast<char>(std::min(coin(random) * 5, 255));
    image.resize(size, '\xFF');  // erased flash after the last table
    return image;
}

std::string MixedData(std::size_t size) {
    Random random(0xB1D);
    const std::size_t quarter = size / 4;
    std::string out;
    AppendText(out, quarter, random);
    out += FirmwareLikeImage(quarter);
    while (out.size() < 3 * quarter) out += static_cast<char>(random() & 0xFF);
    for (std::uint16_t counter = 0; out.size() < size; ++counter) {
        const int run = counter % 16 == 0 ? 32 : 1;  // an occasional run of zeros
        for (int i = 0; i < run && out.size() < size; ++i) {
            out += static_cast<char>(run > 1 ? 0 : counter & 0xFF);
            if (run == 1) out += static_cast<char>(counter >> 8);
        }
    }
    out.resize(size);
    return out;
}
