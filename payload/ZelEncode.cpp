#include "ZelEncode.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "FileBytes.h"

ZelEncodeError::ZelEncodeError(Kind kind, std::int32_t number, std::string source,
                               std::string description)
    : std::runtime_error(source + ": " + description),
      kind_(kind),
      number_(number),
      source_(std::move(source)),
      description_(std::move(description)) {}

namespace {

constexpr char kEncodeSource[] = "clsHuffman.Encode()";
constexpr char kDecodeSource[] = "clsHuffman.Decode()";
constexpr char kIndexText[] = "Subscript out of range";

constexpr std::size_t kIdSize = 4;             // "HE?" + CR
constexpr std::size_t kChecksumOffset = 4;     // one byte
constexpr std::size_t kLengthOffset = 5;       // 32-bit signed, little-endian
constexpr std::size_t kSymbolCountOffset = 9;  // 16-bit signed, little-endian
constexpr std::size_t kPairsOffset = 11;       // (symbol, code length) pairs
constexpr int kMaxNodes = 512;                 // both trees live in a table of this size
// Decoding looks this many bits up at once; longer codes finish with a walk down the tree.
constexpr unsigned kMaxTableBits = 11;

[[noreturn]] void ThrowIndex(const char* source) {
    throw ZelEncodeError(ZelEncodeError::Kind::Index, ZelEncodeError::kSubscriptOutOfRange, source,
                         kIndexText);
}

[[noreturn]] void ThrowChecksum() {
    throw ZelEncodeError(ZelEncodeError::Kind::Checksum, ZelEncodeError::kObjectError,
                         kDecodeSource,
                         "The data might be corrupted (checksum did not match expected value)");
}

std::uint64_t Load64(const std::uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
#else
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
#endif
}

void Store32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// Packs bits from the least significant end of each byte upwards.
class BitWriter {
  public:
    explicit BitWriter(std::uint8_t* out) : out_(out) {}

    // Up to 32 bits; the first bit of the sequence is bit 0 of `bits`.
    void Put(std::uint64_t bits, unsigned count) {
        acc_ |= bits << filled_;
        filled_ += count;
        if (filled_ >= 32) {
            Store32(out_, static_cast<std::uint32_t>(acc_));
            out_ += 4;
            acc_ >>= 32;
            filled_ -= 32;
        }
    }
    void PutLong(std::uint64_t bits, unsigned count) {
        while (count > 32) {
            Put(bits & 0xFFFFFFFFu, 32);
            bits >>= 32;
            count -= 32;
        }
        Put(bits, count);
    }
    // Writes the partly filled last byte, padded with 0 bits.
    std::uint8_t* Finish() {
        while (filled_ > 0) {
            *out_++ = static_cast<std::uint8_t>(acc_);
            acc_ >>= 8;
            filled_ = filled_ > 8 ? filled_ - 8 : 0;
        }
        return out_;
    }

  private:
    std::uint8_t* out_;
    std::uint64_t acc_ = 0;
    unsigned filled_ = 0;
};

struct EncodeNode {
    int parent = -1;
    int one = -1;
    int zero = -1;
    int value = -1;
    std::uint64_t weight = 0;
};

struct SymbolCode {
    std::uint64_t bits = 0;  // first bit from the root in bit 0
    unsigned length = 0;
};

void AssignCodes(const std::vector<EncodeNode>& nodes, int node, std::uint64_t bits, unsigned depth,
                 std::array<SymbolCode, 256>& codes) {
    const EncodeNode& n = nodes[static_cast<std::size_t>(node)];
    if (n.value >= 0) {
        codes[static_cast<std::size_t>(n.value)] = SymbolCode{bits, depth};
        return;
    }
    // The tree is at most ~46 levels deep for inputs below 2 GB, so 64 bits always hold a code.
    if (depth >= 64) {
        ThrowIndex(kEncodeSource);
    }
    AssignCodes(nodes, n.zero, bits, depth + 1, codes);
    AssignCodes(nodes, n.one, bits | (std::uint64_t{1} << depth), depth + 1, codes);
}

// The merge order decides every code, so it follows one fixed rule: scan parentless nodes in
// index order, keep the two lightest seen so far, and let the earlier node win every tie.
std::array<SymbolCode, 256> BuildCodes(const std::array<std::uint64_t, 256>& counts) {
    std::vector<EncodeNode> nodes;
    nodes.reserve(kMaxNodes);
    for (int v = 0; v < 256; ++v) {
        if (counts[static_cast<std::size_t>(v)] == 0) {
            continue;
        }
        EncodeNode leaf;
        leaf.value = v;
        leaf.weight = counts[static_cast<std::size_t>(v)];
        nodes.push_back(leaf);
    }
    std::size_t parentless = nodes.size();
    while (parentless > 1) {
        int a = -1;
        int b = -1;
        for (int i = 0; i < static_cast<int>(nodes.size()); ++i) {
            if (nodes[static_cast<std::size_t>(i)].parent != -1) {
                continue;
            }
            if (a < 0) {
                a = i;
                continue;
            }
            if (b < 0) {
                b = i;
                continue;
            }
            const std::uint64_t w = nodes[static_cast<std::size_t>(i)].weight;
            const std::uint64_t wa = nodes[static_cast<std::size_t>(a)].weight;
            const std::uint64_t wb = nodes[static_cast<std::size_t>(b)].weight;
            if (w < wa && w < wb) {
                if (wa < wb) {
                    b = i;
                } else {
                    a = i;
                }
            } else if (w < wa) {
                a = i;
            } else if (w < wb) {
                b = i;
            }
        }
        EncodeNode inner;
        inner.zero = a;
        inner.one = b;
        inner.weight =
            nodes[static_cast<std::size_t>(a)].weight + nodes[static_cast<std::size_t>(b)].weight;
        const int index = static_cast<int>(nodes.size());
        nodes[static_cast<std::size_t>(a)].parent = index;
        nodes[static_cast<std::size_t>(b)].parent = index;
        nodes.push_back(inner);
        --parentless;
    }
    std::array<SymbolCode, 256> codes{};
    AssignCodes(nodes, static_cast<int>(nodes.size()) - 1, 0, 0, codes);
    return codes;
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

    std::array<std::uint64_t, 256> counts{};
    std::uint8_t checksum = 0;
    for (std::size_t i = 0; i < length; ++i) {
        ++counts[data[i]];
        checksum ^= data[i];
    }
    const std::array<SymbolCode, 256> codes = BuildCodes(counts);

    std::uint64_t dataBits = 0;
    std::uint64_t codeBits = 0;
    unsigned symbols = 0;
    unsigned longest = 0;
    for (std::size_t v = 0; v < 256; ++v) {
        if (counts[v] == 0) {
            continue;
        }
        ++symbols;
        dataBits += counts[v] * codes[v].length;
        codeBits += codes[v].length;
        longest = std::max(longest, codes[v].length);
    }
    const std::uint64_t dataBytes = (dataBits + 7) / 8;
    // Only the data block is weighed against the input: header and code table do not count.
    if (dataBytes == 0 || dataBytes > length) {
        return StoredStream(data, length);
    }

    const std::uint64_t codeBytes = (codeBits + 7) / 8;
    const std::size_t total =
        kPairsOffset + std::size_t{2} * symbols + static_cast<std::size_t>(codeBytes + dataBytes);
    std::string stream(total, '\0');
    auto* out = reinterpret_cast<std::uint8_t*>(&stream[0]);
    out[0] = 'H';
    out[1] = 'E';
    out[2] = '3';
    out[3] = '\r';
    out[kChecksumOffset] = checksum;
    Store32(out + kLengthOffset, static_cast<std::uint32_t>(length));
    out[kSymbolCountOffset] = static_cast<std::uint8_t>(symbols);
    out[kSymbolCountOffset + 1] = static_cast<std::uint8_t>(symbols >> 8);
    std::uint8_t* p = out + kPairsOffset;
    for (std::size_t v = 0; v < 256; ++v) {
        if (counts[v] == 0) {
            continue;
        }
        *p++ = static_cast<std::uint8_t>(v);
        *p++ = static_cast<std::uint8_t>(codes[v].length);
    }

    BitWriter codeBlock(p);
    for (std::size_t v = 0; v < 256; ++v) {
        if (counts[v] != 0) {
            codeBlock.PutLong(codes[v].bits, codes[v].length);
        }
    }
    p = codeBlock.Finish();

    BitWriter dataBlock(p);
    if (longest <= 32) {
        for (std::size_t i = 0; i < length; ++i) {
            const SymbolCode& c = codes[data[i]];
            dataBlock.Put(c.bits, c.length);
        }
    } else {
        for (std::size_t i = 0; i < length; ++i) {
            const SymbolCode& c = codes[data[i]];
            dataBlock.PutLong(c.bits, c.length);
        }
    }
    p = dataBlock.Finish();
    (void)p;  // the stream was sized exactly from the bit counts
    return stream;
}

// The decoding tree as the stream describes it. Node 0 is the root; a node whose value is 0 or
// more ends a code even when it has children (a malformed table can make one code the prefix
// of another, and the first node with a value wins).
class DecodeTree {
  public:
    DecodeTree() {
        zero_.fill(-1);
        one_.fill(-1);
        value_.fill(-1);
    }

    int Child(int node, unsigned bit) const { return bit ? one_[node] : zero_[node]; }
    int Value(int node) const { return value_[node]; }

    void Walk(int& node, unsigned bit) {
        std::int16_t& link = bit ? one_[node] : zero_[node];
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
    std::array<std::int16_t, kMaxNodes> zero_{};
    std::array<std::int16_t, kMaxNodes> one_{};
    std::array<std::int16_t, kMaxNodes> value_{};
    int count_ = 1;
};

// One lookup-table slot, packed into 32 bits so that the decoding loop keeps it in a register:
// the one or two symbols that end within the looked-up bits, a node to continue from when no
// code ends there, or a missing branch. Two symbols per lookup roughly halve the work for the
// short codes that make up most of the data.
namespace slot {
constexpr std::uint32_t kOne = 0;
constexpr std::uint32_t kTwo = 1;
constexpr std::uint32_t kLonger = 2;
constexpr std::uint32_t kMissing = 3;

// Layout: bits 0-7 first symbol (0-15: node for kLonger), 8-15 second symbol, 16-19 bits of
// the first symbol, 20-23 bits of both, 24-25 kind. Code lengths in the table are at most 11.
constexpr std::uint32_t Make(std::uint32_t kind, std::uint32_t value, std::uint32_t second = 0,
                             std::uint32_t length = 0, std::uint32_t lengthBoth = 0) {
    return value | second << 8 | length << 16 | lengthBoth << 20 | kind << 24;
}
constexpr std::uint32_t Kind(std::uint32_t e) {
    return e >> 24;
}
constexpr std::uint32_t Value(std::uint32_t e) {
    return e & 0xFFFFu;
}
constexpr std::uint8_t First(std::uint32_t e) {
    return static_cast<std::uint8_t>(e);
}
constexpr std::uint8_t Second(std::uint32_t e) {
    return static_cast<std::uint8_t>(e >> 8);
}
constexpr unsigned Length(std::uint32_t e) {
    return (e >> 16) & 0xFu;
}
constexpr unsigned LengthBoth(std::uint32_t e) {
    return (e >> 20) & 0xFu;
}
}  // namespace slot

// Follows up to `available` bits (first bit in bit 0) from the root. Returns the symbol and sets
// `used`, or returns -1 with `node` set when no code ends within them, or -2 for a missing branch.
int FollowBits(const DecodeTree& tree, std::uint64_t bits, unsigned available, unsigned& used,
               int& node) {
    node = 0;
    for (unsigned b = 0; b < available; ++b) {
        node = tree.Child(node, static_cast<unsigned>((bits >> b) & 1u));
        if (node < 0) {
            return -2;
        }
        if (tree.Value(node) >= 0) {
            used = b + 1;
            return tree.Value(node);
        }
    }
    return -1;
}

std::vector<std::uint32_t> BuildTable(const DecodeTree& tree, unsigned tableBits) {
    std::vector<std::uint32_t> table(std::size_t{1} << tableBits);
    for (std::size_t index = 0; index < table.size(); ++index) {
        unsigned used = 0;
        int node = 0;
        const int first = FollowBits(tree, index, tableBits, used, node);
        if (first == -2) {
            table[index] = slot::Make(slot::kMissing, 0);
        } else if (first == -1) {
            table[index] = slot::Make(slot::kLonger, static_cast<std::uint32_t>(node));
        } else {
            unsigned usedSecond = 0;
            const int second = FollowBits(tree, index >> used, tableBits - used, usedSecond, node);
            table[index] =
                second >= 0
                    ? slot::Make(slot::kTwo, static_cast<std::uint32_t>(first),
                                 static_cast<std::uint32_t>(second), used, used + usedSecond)
                    : slot::Make(slot::kOne, static_cast<std::uint32_t>(first), 0, used);
        }
    }
    return table;
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

// Decodes the data block into out[0..limit) and returns the number of bytes produced: limit,
// or fewer when the block ends first.
std::size_t DecodeBlock(const DecodeTree& tree, unsigned longestCode, const std::uint8_t* block,
                        std::size_t blockBytes, std::uint8_t* out, std::size_t limit) {
    const unsigned tableBits = std::clamp(longestCode, 1u, kMaxTableBits);
    const std::vector<std::uint32_t> tableStore = BuildTable(tree, tableBits);
    const std::uint32_t* const table = tableStore.data();
    const std::uint64_t mask = (std::uint64_t{1} << tableBits) - 1;
    const std::uint64_t blockBits = static_cast<std::uint64_t>(blockBytes) * 8;
    std::size_t produced = 0;

    // Bit buffer: `bits` holds the next `available` stream bits from bit 0 up, and everything
    // before `in` has been loaded. A refill reads eight bytes at once (so it only runs while
    // eight remain) and leaves at least 56 bits; one lookup takes at most tableBits of them, so
    // several lookups follow each refill.
    const std::uint8_t* in = block;
    const std::uint8_t* const end = block + blockBytes;
    std::uint64_t bits = 0;
    unsigned available = 0;
    const unsigned lookupsPerRefill = 56 / tableBits;
    while (produced < limit && end - in >= 8) {
        bits |= Load64(in) << available;
        in += (63 - available) >> 3;
        available |= 56;
        for (unsigned i = 0; i < lookupsPerRefill; ++i) {
            const std::uint32_t entry = table[bits & mask];
            const std::uint32_t kind = slot::Kind(entry);
            if (kind <= slot::kTwo) {
                out[produced] = slot::First(entry);
                unsigned used = slot::Length(entry);
                if (kind == slot::kTwo && limit - produced >= 2) {
                    out[produced + 1] = slot::Second(entry);
                    ++produced;
                    used = slot::LengthBoth(entry);
                }
                ++produced;
                bits >>= used;
                available -= used;
                if (produced == limit) {
                    break;
                }
                continue;
            }
            if (kind == slot::kMissing) {
                ThrowIndex(kDecodeSource);
            }
            // A long code: finish it bit by bit, then restart the buffer behind it.
            available -= tableBits;
            std::uint64_t pos = static_cast<std::uint64_t>(in - block) * 8 - available;
            const int symbol =
                WalkBits(tree, block, blockBits, pos, static_cast<int>(slot::Value(entry)));
            if (symbol < 0) {
                return produced;
            }
            out[produced++] = static_cast<std::uint8_t>(symbol);
            if ((pos >> 3) >= blockBytes) {
                in = end;
                bits = 0;
                available = 0;
            } else {
                in = block + (pos >> 3) + 1;
                bits = static_cast<std::uint64_t>(block[pos >> 3] >> (pos & 7));
                available = 8 - static_cast<unsigned>(pos & 7);
            }
            break;
        }
    }
    // The last few bytes go bit by bit.
    std::uint64_t pos = static_cast<std::uint64_t>(in - block) * 8 - available;
    while (produced < limit) {
        const int symbol = WalkBits(tree, block, blockBits, pos, 0);
        if (symbol < 0) {
            break;
        }
        out[produced++] = static_cast<std::uint8_t>(symbol);
    }
    return produced;
}

std::uint8_t XorOfBytes(const std::uint8_t* data, std::size_t length) {
    std::uint64_t wide = 0;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        wide ^= Load64(data + i);
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

    // The code block is short (at most 256 codes of 255 bits), so it is read bit by bit.
    DecodeTree tree;
    std::size_t bitPos = 0;
    unsigned longest = 0;
    for (int symbol = 0; symbol < 256; ++symbol) {
        int node = 0;
        for (unsigned i = 0; i < codeLength[symbol]; ++i, ++bitPos) {
            const unsigned bit = (byteAt(offset + bitPos / 8) >> (bitPos % 8)) & 1u;
            tree.Walk(node, bit);
        }
        tree.SetValue(node, symbol);
        longest = std::max(longest, codeLength[symbol]);
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

bool FilePresent(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

void TransformFile(const std::string& source, const std::string& dest, const char* errorSource,
                   std::string (*transform)(const std::uint8_t*, std::size_t)) {
    if (!FilePresent(source)) {
        throw ZelEncodeError(ZelEncodeError::Kind::MissingSource, ZelEncodeError::kObjectError,
                             errorSource, "Source file does not exist");
    }
    std::string content;
    if (!ReadWholeFile(source, content)) {
        throw ZelEncodeError(ZelEncodeError::Kind::FileAccess, ZelEncodeError::kFileAccessError,
                             errorSource, "Path/File access error");
    }
    const std::string result =
        transform(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
    std::remove(dest.c_str());
    if (!WriteWholeFile(dest, result)) {
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
