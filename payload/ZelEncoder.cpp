#include "ZelEncoder.h"

#include <algorithm>
#include <vector>

#include "ZelCodec.h"

namespace {

using zelcodec::Store64;

// Packs bits from the least significant end of each byte upwards. Every Put stores eight bytes
// from the current one on (the bits not yet written are 0), so the buffer needs eight spare
// bytes behind the last byte written; in return no Put has to test whether a word is full.
class BitWriter {
  public:
    explicit BitWriter(std::uint8_t* out) : out_(out) {}

    // Up to 32 bits; the first bit of the sequence is bit 0 of `bits`, and no bit above
    // `count` is set.
    void Put(std::uint64_t bits, unsigned count) {
        acc_ |= bits << filled_;
        filled_ += count;
        Store64(out_, acc_);
        out_ += filled_ >> 3;
        acc_ >>= filled_ & ~7u;
        filled_ &= 7;
    }
    void PutLong(std::uint64_t bits, unsigned count) {
        while (count > 32) {
            Put(bits & 0xFFFFFFFFu, 32);
            bits >>= 32;
            count -= 32;
        }
        Put(bits, count);
    }
    // Ends on the partly filled last byte, padded with 0 bits (already stored).
    std::uint8_t* Finish() const { return filled_ > 0 ? out_ + 1 : out_; }

  private:
    std::uint8_t* out_;
    std::uint64_t acc_ = 0;  // fewer than 8 bits between calls
    unsigned filled_ = 0;
};

struct EncodeNode {
    int one = -1;
    int zero = -1;
    int value = -1;
    std::uint64_t weight = 0;
};

// Four partial counts, so that a run of one byte value does not make every increment wait for
// the one before.
std::array<std::uint64_t, 256> CountBytes(const std::uint8_t* data, std::size_t length) {
    std::array<std::array<std::uint32_t, 256>, 4> partial{};
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        ++partial[0][data[i]];
        ++partial[1][data[i + 1]];
        ++partial[2][data[i + 2]];
        ++partial[3][data[i + 3]];
    }
    for (; i < length; ++i) {
        ++partial[0][data[i]];
    }
    std::array<std::uint64_t, 256> counts{};
    for (std::size_t v = 0; v < 256; ++v) {
        counts[v] = std::uint64_t{partial[0][v]} + partial[1][v] + partial[2][v] + partial[3][v];
    }
    return counts;
}

// The merge order decides every code, so it follows one fixed rule: scan parentless nodes in
// index order, keep the two lightest seen so far, and let the earlier node win every tie.
// Leaves come first, in ascending value order; the last node is the root.
std::vector<EncodeNode> BuildTree(const std::array<std::uint64_t, 256>& counts) {
    std::vector<EncodeNode> nodes;
    nodes.reserve(2 * 256);
    for (int v = 0; v < 256; ++v) {
        if (counts[static_cast<std::size_t>(v)] != 0) {
            EncodeNode leaf;
            leaf.value = v;
            leaf.weight = counts[static_cast<std::size_t>(v)];
            nodes.push_back(leaf);
        }
    }
    // The parentless nodes in index order with their weights, so that a scan visits only them.
    struct Open {
        int index;
        std::uint64_t weight;
    };
    std::vector<Open> open;
    open.reserve(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        open.push_back(Open{static_cast<int>(i), nodes[i].weight});
    }
    while (open.size() > 1) {
        std::size_t a = 0;
        std::size_t b = 1;
        std::uint64_t wa = open[0].weight;
        std::uint64_t wb = open[1].weight;
        for (std::size_t i = 2; i < open.size(); ++i) {
            // A lighter node replaces the heavier candidate, A when both weigh the same.
            const std::uint64_t w = open[i].weight;
            if (w < std::max(wa, wb)) {
                if (wa >= wb) {
                    a = i;
                    wa = w;
                } else {
                    b = i;
                    wb = w;
                }
            }
        }
        EncodeNode inner;
        inner.zero = open[a].index;
        inner.one = open[b].index;
        inner.weight = wa + wb;
        const int index = static_cast<int>(nodes.size());
        nodes.push_back(inner);
        // The new node has the highest index, so it goes last.
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(std::max(a, b)));
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(std::min(a, b)));
        open.push_back(Open{index, inner.weight});
    }
    return nodes;
}

template <class Codes>
void AssignCodes(const std::vector<EncodeNode>& nodes, int node, std::uint64_t bits, unsigned depth,
                 Codes& codes) {
    const EncodeNode& n = nodes[static_cast<std::size_t>(node)];
    if (n.value >= 0) {
        codes[static_cast<std::size_t>(n.value)] = {bits, depth};
        return;
    }
    // The tree is at most ~46 levels deep for inputs below 2 GB, so 64 bits always hold a code.
    if (depth >= 64) {
        zelcodec::ThrowIndex(zelcodec::kEncodeSource);
    }
    AssignCodes(nodes, n.zero, bits, depth + 1, codes);
    AssignCodes(nodes, n.one, bits | (std::uint64_t{1} << depth), depth + 1, codes);
}

}  // namespace

ZelEncoder::ZelEncoder(const std::uint8_t* data, std::size_t length)
    : data_(data), length_(length) {
    const std::array<std::uint64_t, 256> counts = CountBytes(data, length);
    const std::vector<EncodeNode> nodes = BuildTree(counts);
    if (!nodes.empty()) {
        AssignCodes(nodes, static_cast<int>(nodes.size()) - 1, 0, 0, codes_);
    }
    for (std::size_t v = 0; v < 256; ++v) {
        if (counts[v] != 0) {
            ++symbols_;
            dataBits_ += counts[v] * codes_[v].length;
            codeBits_ += codes_[v].length;
            longest_ = std::max(longest_, codes_[v].length);
        }
    }
}

std::uint8_t* ZelEncoder::WriteCodeBlock(std::uint8_t* out) const {
    BitWriter writer(out);
    for (const SymbolCode& code : codes_) {
        writer.PutLong(code.bits, code.length);
    }
    return writer.Finish();
}

std::uint8_t* ZelEncoder::WriteDataBlock(std::uint8_t* out) const {
    // Locals, as any byte stored through `out` might be a member for all the compiler knows.
    const std::uint8_t* const data = data_;
    const std::uint8_t* const end = data_ + length_;
    const std::array<SymbolCode, 256>& codes = codes_;
    BitWriter writer(out);
    if (longest_ <= 32) {
        for (const std::uint8_t* p = data; p != end; ++p) {
            writer.Put(codes[*p].bits, codes[*p].length);
        }
    } else {
        for (const std::uint8_t* p = data; p != end; ++p) {
            writer.PutLong(codes[*p].bits, codes[*p].length);
        }
    }
    return writer.Finish();
}
