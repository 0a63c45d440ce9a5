#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The decoding side of one compressed block: the code tree that the code block describes, and
// the data block read through a lookup table of that tree. The framing (ZelEncode.cpp) checks
// the header and the checksum; every read here stays inside the bytes it is given.
// Internal to the codec.
class ZelDecoder {
  public:
    static constexpr int kMaxNodes = 512;  // the tree lives in a table of this size

    // Builds the tree from the code lengths (one per byte value, 0 for none) and the code block,
    // which must hold at least the sum of the lengths in bits. Fails with the index error when
    // the codes need more than kMaxNodes nodes.
    ZelDecoder(const std::array<std::uint8_t, 256>& codeLengths, const std::uint8_t* codeBlock);

    // Decodes the data block into out[0, limit) and returns the number of bytes produced: limit,
    // or fewer when the block ends first. Fails with the index error at a code the tree lacks.
    std::size_t Decode(const std::uint8_t* block, std::size_t blockBytes, std::uint8_t* out,
                       std::size_t limit) const;

  private:
    class BitReader;

    int Child(int node, unsigned bit) const { return link_[node][bit]; }
    int Value(int node) const { return value_[node]; }
    // Fills the lookup-table entries of every code under `node` that fits in tableBits.
    void FillTable(std::uint16_t* table, unsigned tableBits, int node, unsigned depth,
                   std::uint32_t path) const;
    // Decodes one code bit by bit from the root into *out++; false when the block ends first.
    bool Walk(BitReader& reader, std::uint8_t*& out) const;

    // A node whose value is 0 or more ends a code even when it has children: a malformed table
    // can make one code the prefix of another, and the first node with a value wins.
    std::array<std::array<std::int16_t, 2>, kMaxNodes> link_;
    std::array<std::int16_t, kMaxNodes> value_;
    unsigned longest_ = 0;  // the longest code length
};
