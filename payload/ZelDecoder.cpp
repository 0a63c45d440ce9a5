#include "ZelDecoder.h"

#include <algorithm>

#include "ZelCodec.h"

namespace {

// Codes of up to this many bits are looked up in a table; longer codes, and whatever is wrong
// with a stream, are walked down the tree bit by bit.
constexpr unsigned kMaxTableBits = 11;
// Lookups per refill of the bit buffer: a refill leaves at least 56 bits.
constexpr unsigned kLookups = 56 / kMaxTableBits;
static_assert(kLookups * kMaxTableBits <= 56, "a round must not run out of bits");

// One table entry: the stream bits of the code in the low byte, its byte value in the high
// byte. An entry of 0 means the bits begin a code longer than the table, or a missing branch.
using Entry = std::uint16_t;
constexpr Entry MakeEntry(unsigned used, unsigned value) {
    return static_cast<Entry>(used | value << 8);
}
constexpr unsigned Used(Entry entry) {
    return entry & 0xFFu;
}
constexpr std::uint8_t Byte(Entry entry) {
    return static_cast<std::uint8_t>(entry >> 8);
}

}  // namespace

// The data block's bits through a 64-bit buffer, the block's first bit first. Bits above
// Count() are 0 or the block's next bits, and nothing is ever read outside the block.
class ZelDecoder::BitReader {
  public:
    BitReader(const std::uint8_t* block, std::size_t bytes) : in_(block), end_(block + bytes) {}

    bool CanLoadWord() const { return end_ - in_ >= 8; }
    // Leaves at least 56 bits in the buffer, or every bit the block has left.
    void Refill() {
        if (CanLoadWord()) {
            bits_ |= zelcodec::Load64(in_) << count_;
            in_ += (63 - count_) >> 3;
            count_ |= 56;
        } else {
            for (; count_ < 56 && in_ < end_; count_ += 8) {
                bits_ |= std::uint64_t{*in_++} << count_;
            }
        }
    }
    std::uint64_t Bits() const { return bits_; }
    unsigned Count() const { return count_; }
    void Skip(unsigned n) {
        bits_ >>= n;
        count_ -= n;
    }

  private:
    const std::uint8_t* in_;
    const std::uint8_t* end_;
    std::uint64_t bits_ = 0;
    unsigned count_ = 0;
};

ZelDecoder::ZelDecoder(const std::array<std::uint8_t, 256>& codeLengths,
                       const std::uint8_t* codeBlock) {
    for (auto& links : link_) links = {-1, -1};
    value_.fill(-1);
    int nodes = 1;  // node 0 is the root
    std::size_t pos = 0;
    for (int symbol = 0; symbol < 256; ++symbol) {
        const unsigned length = codeLengths[static_cast<std::size_t>(symbol)];
        int node = 0;
        for (unsigned i = 0; i < length; ++i, ++pos) {
            std::int16_t& link = link_[node][(codeBlock[pos >> 3] >> (pos & 7)) & 1u];
            if (link < 0) {
                if (nodes >= kMaxNodes) {
                    zelcodec::ThrowIndex(zelcodec::kDecodeSource);
                }
                link = static_cast<std::int16_t>(nodes++);
            }
            node = link;
        }
        // A value without a code lands on the root, whose value is never consulted.
        value_[node] = static_cast<std::int16_t>(symbol);
        longest_ = std::max(longest_, length);
    }
}

void ZelDecoder::FillTable(std::uint16_t* table, unsigned tableBits, int node, unsigned depth,
                           std::uint32_t path) const {
    for (unsigned bit = 0; bit < 2; ++bit) {
        const int child = Child(node, bit);
        const unsigned length = depth + 1;
        const std::uint32_t code = path | bit << depth;
        if (child < 0 || length > tableBits) {
            continue;  // the entries stay 0: decoding walks the tree there
        }
        if (Value(child) < 0) {
            FillTable(table, tableBits, child, length, code);
            continue;
        }
        // A code of length d fills every 2^d-th entry from its own bits on.
        const Entry entry = MakeEntry(length, static_cast<unsigned>(Value(child)));
        for (std::size_t i = code; i < std::size_t{1} << tableBits; i += std::size_t{1} << length) {
            table[i] = entry;
        }
    }
}

bool ZelDecoder::Walk(BitReader& reader, std::uint8_t*& out) const {
    int node = 0;
    for (;;) {
        if (reader.Count() == 0) {
            reader.Refill();
            if (reader.Count() == 0) {
                return false;
            }
        }
        node = Child(node, static_cast<unsigned>(reader.Bits() & 1u));
        reader.Skip(1);
        if (node < 0) {
            zelcodec::ThrowIndex(zelcodec::kDecodeSource);
        }
        if (Value(node) >= 0) {
            *out++ = static_cast<std::uint8_t>(Value(node));
            return true;
        }
    }
}

std::size_t ZelDecoder::Decode(const std::uint8_t* block, std::size_t blockBytes, std::uint8_t* out,
                               std::size_t limit) const {
    // A table no wider than the longest code: filling it costs time in proportion to its size.
    const unsigned tableBits = std::min(longest_, kMaxTableBits);
    Entry table[std::size_t{1} << kMaxTableBits];
    std::fill(table, table + (std::size_t{1} << tableBits), Entry{0});
    FillTable(table, tableBits, 0, 0, 0);
    const std::uint64_t mask = (std::uint64_t{1} << tableBits) - 1;
    BitReader reader(block, blockBytes);
    std::uint8_t* const begin = out;
    std::uint8_t* const end = out + limit;

    // Rounds without a bounds check: a word refill leaves the bits of every lookup of the round,
    // and the output has room for every byte of it (a walk takes the place of a lookup).
    while (reader.CanLoadWord() && end - out >= std::ptrdiff_t{kLookups}) {
        reader.Refill();
        for (unsigned i = 0; i < kLookups; ++i) {
            const Entry entry = table[reader.Bits() & mask];
            if (Used(entry) == 0) {
                if (!Walk(reader, out)) {
                    return static_cast<std::size_t>(out - begin);
                }
                break;
            }
            *out++ = Byte(entry);
            reader.Skip(Used(entry));
        }
    }
    // The last bytes of the block or of the output: every entry checked against the bits left.
    while (out < end) {
        reader.Refill();
        const Entry entry = table[reader.Bits() & mask];
        if (Used(entry) != 0 && Used(entry) <= reader.Count()) {
            *out++ = Byte(entry);
            reader.Skip(Used(entry));
        } else if (!Walk(reader, out)) {
            break;
        }
    }
    return static_cast<std::size_t>(out - begin);
}
