#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

// The one error the codec raises: an error number, the operation that raised it (Source) and
// a description, so that a caller can log all three.
class ZelEncodeError : public std::runtime_error {
  public:
    enum class Kind {
        Identification,  // "HE" + ? + CR with an unknown type byte
        Checksum,        // decoded bytes do not match the stored checksum (or fall short)
        MissingSource,   // EncodeFile / DecodeFile: the source file is not there
        Index,           // read past the end of the stream, tree overflow, oversized input
        FileAccess,      // a file could not be read or written
    };

    // Application-defined errors carry the base of the application error range.
    static constexpr std::int32_t kObjectError = static_cast<std::int32_t>(0x80040000u);
    static constexpr std::int32_t kSubscriptOutOfRange = 9;
    static constexpr std::int32_t kFileAccessError = 75;

    ZelEncodeError(Kind kind, std::int32_t number, std::string source, std::string description);

    Kind ErrorKind() const { return kind_; }
    std::int32_t Number() const { return number_; }
    const std::string& Source() const { return source_; }
    const std::string& Description() const { return description_; }

  private:
    Kind kind_;
    std::int32_t number_;
    std::string source_;
    std::string description_;
};

// Static, per-block Huffman coding framed as an "HE3" (compressed) or "HE0" (stored) stream.
// The coding is fully deterministic, tie-breaks included: equal input gives equal bytes.
// Byte strings hold one byte per char. Every failure is a ZelEncodeError; a failed call
// produces no result and writes no file.
class ZelEncode {
  public:
    std::string EncodeString(const std::string& Text) const;
    std::string DecodeString(const std::string& Text) const;
    std::string DecodeBytes(const std::uint8_t* data, std::size_t length) const;
    void EncodeFile(const std::string& SourceFile, const std::string& DestFile) const;
    void DecodeFile(const std::string& SourceFile, const std::string& DestFile) const;
};
