#include "ZelEncode.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "FileSystem.h"
#include "ZelCodec.h"
#include "ZelEncoder.h"

ZelEncodeError::ZelEncodeError(Kind kind, std::int32_t number, std::string source,
                               std::string description)
    : std::runtime_error(source + ": " + description),
      kind_(kind),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

void zelcodec::ThrowIndex(const char* source) {
    throw ZelEncodeError(ZelEncodeError::Kind::Index, ZelEncodeError::kSubscriptOutOfRange, source,
                         "Subscript out of range");
}

namespace {

using zelcodec::kDecodeSource;
using zelcodec::kEncodeSource;
using zelcodec::Load64;
using zelcodec::ThrowIndex;

constexpr std::size_t kIdSize = 4;             // "HE?" + CR
constexpr std::size_t kChecksumOffset = 4;     // one byte
constexpr std::size_t kLengthOffset = 5;       // 32-bit signed, little-endian
constexpr std::size_t kSymbolCountOffset = 9;  // 16-bit signed, little-endian
constexpr std::size_t kPairsOffset = 11;       // (symbol, code length) pairs
constexpr int kMaxNodes = 512;                 // the decoding tree lives in a table of this size
// Decoding looks this many bits up at once; longer codes finish with a walk down the tree.
constexpr unsigned kMaxTableBits = 12;

[[noreturn]] void ThrowChecksum() {
    throw ZelEncodeError(ZelEncodeError::Kind::Checksum, ZelEncodeError::kObjectError,
                         kDecodeSource,
                         "The data might be corrupted (checksum did not match expected value)");
}

std::uint8_t XorOfBytes(const std::uint8_t* data, std::size_t length) {
    std::uint64_t wide = 0;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        wide ^= zelcodec::Load64(data + i);
    }
    wide ^= wide >> 32;
    wide ^= wide >> 16;
    wide ^= wide >> 8;
    auto sum = static_cast<std::uint8_t>(wide);
    for (; i < length; ++i) {
        sum ^= data[i];
    }
    return sum;
}

std::string StoredStream(const std::uint8_t* data, std::size_t length) {
    std::string out("HE0\r");
    out.append(reinterpret_cast<const char*>(data), length);
    return out;
}

std::string Compress(const std::uint8_t* data, std::size_t length) {
    if (length == 0) {
        return StoredStream(data, 0);
    }
    // The header holds the length as a signed 32-bit number.
    if (length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        ThrowIndex(kEncodeSource);
    }
    const ZelEncoder encoder(data, length);
    const std::uint64_t dataBytes = (encoder.DataBits() + 7) / 8;
    // Only the data block is weighed against the input: header and code table do not count.
    // A single byte value has an empty code and no data block at all.
    if (dataBytes == 0 || dataBytes > length) {
        return StoredStream(data, length);
    }

    const unsigned symbols = encoder.SymbolCount();
    const std::size_t total = kPairsOffset + std::size_t{2} * symbols +
                              static_cast<std::size_t>((encoder.CodeBits() + 7) / 8 + dataBytes);
    std::string stream(total + ZelEncoder::kSlack, '\0');
    auto* out = reinterpret_cast<std::uint8_t*>(&stream[0]);
    out[0] = 'H';
    out[1] = 'E';
    out[2] = '3';
    out[3] = '\r';
    out[kChecksumOffset] = XorOfBytes(data, length);
    for (int i = 0; i < 4; ++i) {
        out[kLengthOffset + i] = static_cast<std::uint8_t>(length >> (8 * i));
    }
    out[kSymbolCountOffset] = static_cast<std::uint8_t>(symbols);
    out[kSymbolCountOffset + 1] = static_cast<std::uint8_t>(symbols >> 8);
    std::uint8_t* p = out + kPairsOffset;
    // With two values or more, every value present has a code of one bit at least.
    for (unsigned v = 0; v < 256; ++v) {
        const unsigned codeLength = encoder.CodeLength(static_cast<std::uint8_t>(v));
        if (codeLength != 0) {
            *p++ = static_cast<std::uint8_t>(v);
            *p++ = static_cast<std::uint8_t>(codeLength);
        }
    }
    const std::uint8_t* const streamEnd = encoder.WriteDataBlock(encoder.WriteCodeBlock(p));
    assert(streamEnd == out + total);  // the size follows from the bit counts
    (void)streamEnd;
    stream.resize(total);  // drops the writers' slack
    return stream;
}

// The low byte goes first.
void Store16(std::uint8_t* p, std::uint16_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(p, &v, sizeof v);
#else
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
#endif
}

// The decoding tree as the stream describes it. Node 0 is the root; a node whose value is 0 or
// more ends a code even when it has children (a malformed table can make one code the prefix
// of another, and the first node with a value wins).
class DecodeTree {
  public:
    DecodeTree() {
        for (auto& links : link_) links = {-1, -1};
        value_.fill(-1);
    }

    int Child(int node, unsigned bit) const { return link_[node][bit]; }
    int Value(int node) const { return value_[node]; }

    void Walk(int& node, unsigned bit) {
        std::int16_t& link = link_[node][bit];
        if (link < 0) {
            if (count_ >= kMaxNodes) {
                ThrowIndex(kDecodeSource);
            }
            link = static_cast<std::int16_t>(count_++);
        }
        node = link;
    }
    void SetValue(int node, int value) { value_[node] = static_cast<std::int16_t>(value); }

  private:
    std::array<std::array<std::int16_t, 2>, kMaxNodes> link_{};
    std::array<std::int16_t, kMaxNodes> value_{};
    int count_ = 1;
};

// One lookup-table slot in 32 bits: bits 0-7 the stream bits it consumes, 8-15 the bytes it
// yields (one or two), 16-23 the first byte and 24-31 the second. A slot that yields nothing
// consumes nothing either and holds in bits 16-31 the node at which a longer code goes on, or
// 0 when the looked-up bits lead to a missing branch. Two bytes per lookup save a lookup
// wherever two short codes follow each other.
namespace slot {
constexpr std::uint32_t Make(std::uint32_t used, std::uint32_t yield, std::uint32_t payload) {
    return used | yield << 8 | payload << 16;
}
constexpr unsigned Used(std::uint32_t s) {
    return s & 0xFFu;
}
constexpr unsigned Yield(std::uint32_t s) {
    return (s >> 8) & 0xFFu;
}
constexpr unsigned Payload(std::uint32_t s) {
    return s >> 16;
}
}  // namespace slot

// Gives every table index the slot of the first code its bits (first bit in bit 0) complete,
// by walking the tree once: a code of length d fills every 2^d-th slot from its own bits on.
void FillSlots(const DecodeTree& tree, std::uint32_t* table, unsigned tableBits, int node,
               unsigned depth, std::uint32_t path) {
    const std::size_t size = std::size_t{1} << tableBits;
    for (unsigned bit = 0; bit < 2; ++bit) {
        const int child = tree.Child(node, bit);
        const std::uint32_t code = path | bit << depth;
        const unsigned length = depth + 1;
        std::uint32_t fill;
        if (child < 0) {
            fill = slot::Make(0, 0, 0);
        } else if (tree.Value(child) >= 0) {
            fill = slot::Make(length, 1, static_cast<std::uint32_t>(tree.Value(child)));
        } else if (length == tableBits) {
            fill = slot::Make(0, 0, static_cast<std::uint32_t>(child));
        } else {
            FillSlots(tree, table, tableBits, child, length, code);
            continue;
        }
        for (std::size_t i = code; i < size; i += std::size_t{1} << length) {
            table[i] = fill;
        }
    }
}

// Builds the table, then adds a second byte to every slot whose remaining bits complete
// another code. The bits after the first code form a smaller index whose own slot (still
// single, as the pass runs downwards) tells whether a code ends within them. A slot that
// yields nothing reads itself and stays as it is.
void BuildTable(const DecodeTree& tree, unsigned tableBits, std::uint32_t* table) {
    FillSlots(tree, table, tableBits, 0, 0, 0);
    for (std::size_t i = std::size_t{1} << tableBits; i-- > 0;) {
        const std::uint32_t first = table[i];
        const unsigned used = slot::Used(first);
        const std::uint32_t second = table[i >> used];
        const unsigned both = used + slot::Used(second);
        const bool pair = slot::Yield(first) != 0 && slot::Yield(second) != 0 && both <= tableBits;
        table[i] =
            pair ? slot::Make(both, 2, slot::Payload(first) | slot::Payload(second) << 8) : first;
    }
}

// Follows the tree one bit at a time from `node`, starting at bit `pos` of the block. Returns
// the symbol reached, or -1 when the block ends first.
int WalkBits(const DecodeTree& tree, const std::uint8_t* block, std::uint64_t blockBits,
             std::uint64_t& pos, int node) {
    for (;;) {
        if (pos >= blockBits) {
            return -1;
        }
        const unsigned bit = (block[pos >> 3] >> (pos & 7)) & 1u;
        ++pos;
        node = tree.Child(node, bit);
        if (node < 0) {
            ThrowIndex(kDecodeSource);
        }
        if (tree.Value(node) >= 0) {
            return tree.Value(node);
        }
    }
}

// Where table-driven decoding stopped: bytes written, the next unread bit of the block, and
// the node a code in progress has reached (0 when none is).
struct DecodeState {
    std::size_t produced = 0;
    std::uint64_t pos = 0;
    int node = 0;
};

// One reader of the data block. `bits` holds the next `available` stream bits from bit 0 up
// (anything above them is either 0 or the stream bits that follow), everything before `in`
// has been loaded, and decoded bytes go to `out`.
struct Cursor {
    const std::uint8_t* in = nullptr;
    std::uint64_t bits = 0;
    unsigned available = 0;
    std::uint8_t* out = nullptr;
    int node = 0;  // a long code in progress when the input ran short

    std::uint64_t Pos(const std::uint8_t* block) const {
        return static_cast<std::uint64_t>(in - block) * 8 - available;
    }
};

enum class RoundEnd { Done, Missing, Starved };

// Table-driven decoding, `kLookups` lookups per refill of a cursor's bit buffer. A refill
// leaves at least 56 bits, enough for kLookups lookups of tableBits each. A round runs only
// while eight input bytes remain and its whole output fits, so neither the loads nor the
// stores need a bounds check; the last bytes go bit by bit in the caller.
template <unsigned kLookups>
class TableDecoder {
  public:
    static constexpr std::ptrdiff_t kRoundOutput = 2 * kLookups;

    TableDecoder(const DecodeTree& tree, const std::uint32_t* table, unsigned tableBits,
                 const std::uint8_t* block, std::size_t blockBytes)
        : tree_(tree),
          table_(table),
          tableBits_(tableBits),
          mask_((std::uint64_t{1} << tableBits) - 1),
          block_(block),
          end_(block + blockBytes) {}

    // A cursor at bit `pos` (at most the block's end) that writes to `out`.
    Cursor At(std::uint64_t pos, std::uint8_t* out) const {
        Cursor c;
        c.out = out;
        const std::size_t byte = static_cast<std::size_t>(pos >> 3);
        c.in = block_ + byte;
        if ((pos & 7) != 0) {
            c.bits = block_[byte] >> (pos & 7);
            c.available = 8 - static_cast<unsigned>(pos & 7);
            ++c.in;
        }
        return c;
    }

    bool Ready(const Cursor& c, const std::uint8_t* outEnd) const {
        return end_ - c.in >= 8 && outEnd - c.out >= kRoundOutput;
    }

    std::uint64_t Pos(const Cursor& c) const { return c.Pos(block_); }

    RoundEnd Round(Cursor& c) const {
        c.bits |= Load64(c.in) << c.available;
        c.in += (63 - c.available) >> 3;
        c.available |= 56;

        // A slot that yields nothing also consumes nothing, so once one turns up every later
        // lookup of the round repeats it and the round ends on it; one test afterwards suffices.
        std::uint32_t s = 0;
        for (unsigned i = 0; i < kLookups; ++i) {
            s = table_[c.bits & mask_];
            Store16(c.out, static_cast<std::uint16_t>(s >> 16));
            c.out += slot::Yield(s);
            c.bits >>= s & 63u;
            c.available -= slot::Used(s);
        }
        if (slot::Yield(s) != 0) {
            return RoundEnd::Done;
        }

        int node = static_cast<int>(slot::Payload(s));
        if (node == 0) {
            return RoundEnd::Missing;
        }
        // A code longer than the table: go on down the tree from where the table left off.
        c.bits >>= tableBits_;
        c.available -= tableBits_;
        for (;;) {
            if (c.available == 0) {
                if (end_ - c.in < 8) {
                    c.node = node;
                    return RoundEnd::Starved;
                }
                c.bits |= Load64(c.in);
                c.in += 7;
                c.available = 56;
            }
            node = tree_.Child(node, static_cast<unsigned>(c.bits & 1u));
            c.bits >>= 1;
            --c.available;
            if (node < 0) {
                return RoundEnd::Missing;
            }
            if (tree_.Value(node) >= 0) {
                break;
            }
        }
        *c.out++ = static_cast<std::uint8_t>(tree_.Value(node));
        return RoundEnd::Done;
    }

    // Decodes on from `from` (which must not be inside a code) into out[..limit).
    DecodeState Run(DecodeState from, std::uint8_t* out, std::size_t limit) const {
        Cursor c = At(from.pos, out + from.produced);
        std::uint8_t* const outEnd = out + limit;
        while (Ready(c, outEnd)) {
            const RoundEnd end = Round(c);
            if (end == RoundEnd::Missing) {
                ThrowIndex(kDecodeSource);
            }
            if (end == RoundEnd::Starved) {
                break;
            }
        }
        return DecodeState{static_cast<std::size_t>(c.out - out), Pos(c), c.node};
    }

    // Decodes the first half of the block while a second reader decodes the second half from
    // its first byte on, so that the two dependency chains overlap in the processor. The second
    // reader may start inside a code, but a prefix code falls into step after a few codes: once
    // the first reader, stepping code by code past the middle, reaches a position where the
    // second one began a round, both have decoded the same bytes from there on and the second
    // reader's output is taken over. Its errors count only from there, exactly as if the first
    // reader had found them. When the readers never meet, the first one goes on alone.
    DecodeState RunSplit(std::uint8_t* out, std::size_t limit) const {
        const std::size_t blockBytes = static_cast<std::size_t>(end_ - block_);
        const std::size_t midByte = blockBytes / 2;
        const std::uint64_t midBits = static_cast<std::uint64_t>(midByte) * 8;
        const std::size_t spareSize =
            static_cast<std::size_t>(std::min<std::uint64_t>(limit, (blockBytes - midByte) * 8));
        const std::unique_ptr<std::uint8_t[]> spare(new std::uint8_t[spareSize]);

        struct Mark {
            std::uint64_t pos;
            std::size_t count;
        };
        constexpr std::size_t kMarks = 64;  // rounds of the second reader to meet it at
        std::array<Mark, kMarks> marks;
        marks[0] = Mark{midBits, 0};
        std::size_t markCount = 1;

        Cursor a = At(0, out);
        Cursor b = At(midBits, spare.get());
        std::uint8_t* const outEnd = out + limit;
        std::uint8_t* const spareEnd = spare.get() + spareSize;
        const std::uint64_t aLast = midBits - kLookups * tableBits_;  // last start of a round
        bool bRunning = true;
        bool bFailed = false;
        bool aNearMiddle = false;
        for (;;) {
            if (!Ready(a, outEnd)) {
                break;
            }
            if (Pos(a) > aLast) {
                aNearMiddle = true;
                break;
            }
            const RoundEnd aEnd = Round(a);
            if (aEnd == RoundEnd::Missing) {
                ThrowIndex(kDecodeSource);
            }
            if (aEnd == RoundEnd::Starved) {
                break;
            }
            if (bRunning) {
                if (!Ready(b, spareEnd)) {
                    bRunning = false;
                    continue;
                }
                const RoundEnd bEnd = Round(b);
                if (bEnd != RoundEnd::Done) {
                    bRunning = false;
                    bFailed = bEnd == RoundEnd::Missing;
                } else if (markCount < kMarks) {
                    marks[markCount++] =
                        Mark{Pos(b), static_cast<std::size_t>(b.out - spare.get())};
                }
            }
        }
        DecodeState state{static_cast<std::size_t>(a.out - out), Pos(a), a.node};
        if (!aNearMiddle) {
            return state;
        }

        const std::uint64_t blockBits = static_cast<std::uint64_t>(blockBytes) * 8;
        std::size_t m = 0;
        for (;;) {
            while (m < markCount && marks[m].pos < state.pos) {
                ++m;
            }
            if (m == markCount) {
                return state;
            }
            if (marks[m].pos == state.pos && state.node == 0) {
                break;
            }
            if (state.produced == limit) {
                return state;
            }
            const int symbol = WalkBits(tree_, block_, blockBits, state.pos, state.node);
            state.node = 0;
            if (symbol < 0) {
                return state;
            }
            out[state.produced++] = static_cast<std::uint8_t>(symbol);
        }

        const std::size_t taken = std::min<std::size_t>(
            static_cast<std::size_t>(b.out - spare.get()) - marks[m].count, limit - state.produced);
        std::memcpy(out + state.produced, spare.get() + marks[m].count, taken);
        state.produced += taken;
        if (state.produced == limit) {
            return state;
        }
        if (bFailed) {
            ThrowIndex(kDecodeSource);
        }
        return DecodeState{state.produced, Pos(b), b.node};
    }

  private:
    const DecodeTree& tree_;
    const std::uint32_t* table_;
    unsigned tableBits_;
    std::uint64_t mask_;
    const std::uint8_t* block_;
    const std::uint8_t* end_;
};

constexpr std::size_t kMinSplitBytes = 128;  // smaller blocks are decoded by one reader

// Decodes as far as the table can take it; the caller finishes bit by bit from the state.
template <unsigned kLookups>
DecodeState DecodeWithTable(const DecodeTree& tree, const std::uint32_t* table, unsigned tableBits,
                            const std::uint8_t* block, std::size_t blockBytes, std::uint8_t* out,
                            std::size_t limit) {
    const TableDecoder<kLookups> decoder(tree, table, tableBits, block, blockBytes);
    DecodeState state;
    if (blockBytes >= kMinSplitBytes) {
        state = decoder.RunSplit(out, limit);
    }
    if (state.node == 0 && state.produced < limit) {
        state = decoder.Run(state, out, limit);
    }
    return state;
}

// Table size in bits. Two codes per slot need room for two, but filling the table costs time
// in proportion to its size, so a short output gets a smaller one, or none at all.
unsigned TableBits(unsigned longestCode, std::size_t limit) {
    unsigned bits = std::min(2 * longestCode, kMaxTableBits);
    while (bits > 0 && (std::size_t{2} << bits) > limit) {
        --bits;
    }
    return bits < 4 ? 0 : bits;
}

// Decodes the data block into out[0..limit) and returns the number of bytes produced: limit,
// or fewer when the block ends first.
std::size_t DecodeBlock(const DecodeTree& tree, unsigned longestCode, const std::uint8_t* block,
                        std::size_t blockBytes, std::uint8_t* out, std::size_t limit) {
    DecodeState state;
    const unsigned tableBits = TableBits(longestCode, limit);
    if (tableBits > 0) {
        std::uint32_t table[std::size_t{1} << kMaxTableBits];
        BuildTable(tree, tableBits, table);
        if (tableBits <= 8) {
            state = DecodeWithTable<7>(tree, table, tableBits, block, blockBytes, out, limit);
        } else if (tableBits <= 9) {
            state = DecodeWithTable<6>(tree, table, tableBits, block, blockBytes, out, limit);
        } else if (tableBits <= 11) {
            state = DecodeWithTable<5>(tree, table, tableBits, block, blockBytes, out, limit);
        } else {
            state = DecodeWithTable<4>(tree, table, tableBits, block, blockBytes, out, limit);
        }
    }
    const std::uint64_t blockBits = static_cast<std::uint64_t>(blockBytes) * 8;
    while (state.produced < limit) {
        const int symbol = WalkBits(tree, block, blockBits, state.pos, state.node);
        if (symbol < 0) {
            break;
        }
        out[state.produced++] = static_cast<std::uint8_t>(symbol);
        state.node = 0;
    }
    return state.produced;
}

std::string Expand(const std::uint8_t* data, std::size_t length) {
    auto byteAt = [&](std::size_t i) -> std::uint8_t {
        if (i >= length) {
            ThrowIndex(kDecodeSource);
        }
        return data[i];
    };

    if (byteAt(0) == 'H' && byteAt(1) == 'E' && byteAt(3) == '\r') {
        const std::uint8_t type = byteAt(2);
        if (type == '0') {
            // The stored branch reads from offset 4 onwards, so even an empty body needs it.
            byteAt(kIdSize);
            return std::string(reinterpret_cast<const char*>(data) + kIdSize, length - kIdSize);
        }
        if (type != '3') {
            throw ZelEncodeError(ZelEncodeError::Kind::Identification, ZelEncodeError::kObjectError,
                                 "HuffmanDecode()",
                                 "The data either was not compressed with HE3 or is corrupt "
                                 "(identification string not found)");
        }
    }
    // Anything else is read as a compressed stream; bounds and checksum catch what does not fit.

    const std::uint8_t checksum = byteAt(kChecksumOffset);
    std::uint32_t rawLength = 0;
    for (int i = 3; i >= 0; --i) {
        rawLength = (rawLength << 8) | byteAt(kLengthOffset + i);
    }
    const auto declared = static_cast<std::int32_t>(rawLength);
    const auto symbolCount = static_cast<std::int16_t>(byteAt(kSymbolCountOffset) |
                                                       (byteAt(kSymbolCountOffset + 1) << 8));
    if (declared == 0) {
        return std::string(reinterpret_cast<const char*>(data), length);
    }
    // A negative length cannot size any output.
    if (declared < 0) {
        ThrowIndex(kDecodeSource);
    }

    std::array<unsigned, 256> codeLength{};
    std::size_t offset = kPairsOffset;
    for (int i = 0; i < symbolCount; ++i) {
        const std::uint8_t symbol = byteAt(offset);
        codeLength[symbol] = byteAt(offset + 1);
        offset += 2;
    }

    // The code block is short (at most 256 codes of 255 bits), so it is read bit by bit. A
    // block that runs past the stream fails as a read beyond the end would; a tree overflow
    // on the way would raise the very same error.
    std::size_t codeBits = 0;
    unsigned longest = 0;
    for (unsigned codeLen : codeLength) {
        codeBits += codeLen;
        longest = std::max(longest, codeLen);
    }
    if ((codeBits + 7) / 8 > length - offset) {
        ThrowIndex(kDecodeSource);
    }
    const std::uint8_t* codes = data + offset;
    DecodeTree tree;
    std::size_t bitPos = 0;
    for (int symbol = 0; symbol < 256; ++symbol) {
        int node = 0;
        for (unsigned i = 0; i < codeLength[symbol]; ++i, ++bitPos) {
            tree.Walk(node, (codes[bitPos / 8] >> (bitPos % 8)) & 1u);
        }
        tree.SetValue(node, symbol);
    }
    offset += (bitPos + 7) / 8;

    const std::uint8_t* block = data + std::min(offset, length);
    const std::size_t blockBytes = length - std::min(offset, length);
    // Every code takes at least one bit, so the data block bounds the output whatever the
    // header claims.
    const auto limit = static_cast<std::size_t>(std::min<std::uint64_t>(
        static_cast<std::uint64_t>(declared), static_cast<std::uint64_t>(blockBytes) * 8));
    std::string output(limit, '\0');
    auto* out = reinterpret_cast<std::uint8_t*>(&output[0]);
    const std::size_t produced = DecodeBlock(tree, longest, block, blockBytes, out, limit);

    // A stream that ends before the declared length is truncated or damaged, even if the
    // bytes it did yield happen to match the checksum.
    if (produced < static_cast<std::size_t>(declared)) {
        ThrowChecksum();
    }
    if (XorOfBytes(out, produced) != checksum) {
        ThrowChecksum();
    }
    return output;
}

void TransformFile(const std::string& source, const std::string& dest, const char* errorSource,
                   std::string (*transform)(const std::uint8_t*, std::size_t)) {
    if (!FileSystem::IsRegularFile(source)) {
        throw ZelEncodeError(ZelEncodeError::Kind::MissingSource, ZelEncodeError::kObjectError,
                             errorSource, "Source file does not exist");
    }
    std::string content;
    if (!FileSystem::ReadWholeFile(source, content)) {
        throw ZelEncodeError(ZelEncodeError::Kind::FileAccess, ZelEncodeError::kFileAccessError,
                             errorSource, "Path/File access error");
    }
    const std::string result =
        transform(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
    if (!FileSystem::WriteWholeFile(dest, result)) {
        throw ZelEncodeError(ZelEncodeError::Kind::FileAccess, ZelEncodeError::kFileAccessError,
                             errorSource, "Path/File access error");
    }
}

}  // namespace

std::string ZelEncode::EncodeString(const std::string& Text) const {
    return Compress(reinterpret_cast<const std::uint8_t*>(Text.data()), Text.size());
}

std::string ZelEncode::DecodeString(const std::string& Text) const {
    return Expand(reinterpret_cast<const std::uint8_t*>(Text.data()), Text.size());
}

std::string ZelEncode::DecodeBytes(const std::uint8_t* data, std::size_t length) const {
    return Expand(data, length);
}

void ZelEncode::EncodeFile(const std::string& SourceFile, const std::string& DestFile) const {
    TransformFile(SourceFile, DestFile, "clsHuffman.EncodeFile()", Compress);
}

void ZelEncode::DecodeFile(const std::string& SourceFile, const std::string& DestFile) const {
    TransformFile(SourceFile, DestFile, "clsHuffman.DecodeFile()", Expand);
}
