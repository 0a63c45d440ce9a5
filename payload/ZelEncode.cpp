#include "ZelEncode.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <limits>
#include <utility>

#include "FileSystem.h"
#include "ZelCodec.h"
#include "ZelDecoder.h"
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
using zelcodec::ThrowIndex;

constexpr std::size_t kIdSize = 4;             // "HE?" + CR
constexpr std::size_t kChecksumOffset = 4;     // one byte
constexpr std::size_t kLengthOffset = 5;       // 32-bit signed, little-endian
constexpr std::size_t kSymbolCountOffset = 9;  // 16-bit signed, little-endian
constexpr std::size_t kPairsOffset = 11;       // (symbol, code length) pairs

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

    std::array<std::uint8_t, 256> codeLengths{};
    std::size_t offset = kPairsOffset;
    for (int i = 0; i < symbolCount; ++i) {
        const std::uint8_t symbol = byteAt(offset);
        codeLengths[symbol] = byteAt(offset + 1);
        offset += 2;
    }
    std::size_t codeBits = 0;
    for (unsigned codeLength : codeLengths) {
        codeBits += codeLength;
    }
    // A code block that runs past the stream fails as a read beyond the end would; a tree
    // overflow while reading it raises the very same error.
    if ((codeBits + 7) / 8 > length - offset) {
        ThrowIndex(kDecodeSource);
    }
    const ZelDecoder decoder(codeLengths, data + offset);
    offset += (codeBits + 7) / 8;

    // Every code takes at least one bit, so the data block bounds the output whatever the
    // header claims.
    const std::size_t blockBytes = length - offset;
    const auto limit = static_cast<std::size_t>(std::min<std::uint64_t>(
        static_cast<std::uint64_t>(declared), static_cast<std::uint64_t>(blockBytes) * 8));
    std::string output(limit, '\0');
    auto* out = reinterpret_cast<std::uint8_t*>(&output[0]);
    const std::size_t produced = decoder.Decode(data + offset, blockBytes, out, limit);

    // A stream that ends before the declared length is truncated or damaged, even if the
    // bytes it did yield happen to match the checksum.
    if (produced < static_cast<std::size_t>(declared) || XorOfBytes(out, produced) != checksum) {
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
