#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// The static Huffman code of one block and the packing of its code block and data block.
// Construction counts the bytes and builds the code; the framing (ZelEncode.cpp) decides
// whether the block is stored or compressed and writes the header around the two bit blocks.
// The encoder reads the input again when it writes the data block, so the input must outlive
// it. Internal to the codec.
class ZelEncoder {
  public:
    // Bytes a Write may store behind the end it returns (always 0 bits).
    static constexpr std::size_t kSlack = 8;

    ZelEncoder(const std::uint8_t* data, std::size_t length);

    // Code length in bits of a byte value; 0 for an absent value, and for the only value of a
    // block that holds a single one.
    unsigned CodeLength(std::uint8_t value) const { return codes_[value].length; }
    unsigned SymbolCount() const { return symbols_; }
    std::uint64_t CodeBits() const { return codeBits_; }
    std::uint64_t DataBits() const { return dataBits_; }

    // The codes of the present values in ascending value order, padded to a whole byte.
    std::uint8_t* WriteCodeBlock(std::uint8_t* out) const;
    // The code of every input byte in input order, padded to a whole byte.
    std::uint8_t* WriteDataBlock(std::uint8_t* out) const;

  private:
    struct SymbolCode {
        std::uint64_t bits = 0;  // first bit from the root in bit 0
        unsigned length = 0;
    };

    const std::uint8_t* data_;
    std::size_t length_;
    std::array<SymbolCode, 256> codes_{};
    unsigned symbols_ = 0;
    unsigned longest_ = 0;
    std::uint64_t codeBits_ = 0;
    std::uint64_t dataBits_ = 0;
};
