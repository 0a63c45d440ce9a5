#pragma once

// What the codec's three parts (framing in ZelEncode.cpp, ZelEncoder, ZelDecoder) share: the
// index error they all raise and little-endian word access. Internal to the codec.

#include <cstdint>
#include <cstring>

namespace zelcodec {

inline constexpr char kEncodeSource[] = "clsHuffman.Encode()";
inline constexpr char kDecodeSource[] = "clsHuffman.Decode()";

// A read past the end of the stream, a code table too big for its tree, an input too long for
// the header: the standard subscript-out-of-range error.
[[noreturn]] void ThrowIndex(const char* source);

// Eight bytes, the first one lowest.
inline std::uint64_t Load64(const std::uint8_t* p) {
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

inline void Store64(std::uint8_t* p, std::uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(p, &v, sizeof v);
#else
    for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
#endif
}

}  // namespace zelcodec
