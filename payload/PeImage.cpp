#include "PeImage.h"

#include <cstdint>

namespace peimage {
namespace {

constexpr std::size_t kNewHeaderAt = 0x3C;   // offset of the PE header's offset
constexpr std::size_t kCoffHeaderSize = 20;  // bytes after the "PE\0\0" signature
constexpr std::size_t kOptionalSizeAt = 16;  // in the COFF header: optional header size
constexpr std::size_t kChecksumAt = 64;      // in the optional header, PE32 and PE32+
constexpr std::uint16_t kPe32 = 0x10B;       // optional header magic numbers
constexpr std::uint16_t kPe32Plus = 0x20B;
constexpr std::size_t kSecurityDirectory = 4;   // index of the certificate table
constexpr std::size_t kDirectoryEntrySize = 8;  // file offset and size, 32 bits each

std::uint32_t Read(const std::string& bytes, std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t k = width; k-- > 0;) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + k]);
    }
    return value;
}

// The places a signature touches; false for anything that is no well-formed signed program.
struct Places {
    std::size_t checksum = 0;  // file offset of the checksum field
    std::size_t entry = 0;     // file offset of the certificate-table entry
    std::size_t table = 0;     // file offset of the certificate table
};

bool Find(const std::string& image, Places& places) {
    if (image.size() < kNewHeaderAt + 4 || image.compare(0, 2, "MZ") != 0) return false;
    const std::size_t pe = Read(image, kNewHeaderAt, 4);
    if (pe > image.size() || image.size() - pe < 4 + kCoffHeaderSize + 2 ||
        image.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
        return false;
    }
    const std::size_t optional = pe + 4 + kCoffHeaderSize;
    const std::size_t optionalSize = Read(image, pe + 4 + kOptionalSizeAt, 2);
    const std::uint16_t magic = static_cast<std::uint16_t>(Read(image, optional, 2));
    if (magic != kPe32 && magic != kPe32Plus) return false;
    const std::size_t countAt = optional + (magic == kPe32 ? 92 : 108);
    const std::size_t directories = countAt + 4;
    const std::size_t entry = directories + kSecurityDirectory * kDirectoryEntrySize;
    if (optionalSize < entry + kDirectoryEntrySize - optional ||
        image.size() < entry + kDirectoryEntrySize ||
        Read(image, countAt, 4) <= kSecurityDirectory) {
        return false;
    }
    const std::size_t table = Read(image, entry, 4);
    const std::size_t size = Read(image, entry + 4, 4);
    // The table is the file's last part; one that points elsewhere is not trusted.
    if (table == 0 || size == 0 || table > image.size() || image.size() - table != size) {
        return false;
    }
    places.checksum = optional + kChecksumAt;
    places.entry = entry;
    places.table = table;
    return true;
}

}  // namespace

std::size_t CertificateOffset(const std::string& image) {
    Places places;
    return Find(image, places) ? places.table : std::string::npos;
}

std::string WithoutSignature(std::string image) {
    Places places;
    if (!Find(image, places)) return image;
    image.resize(places.table);
    image.replace(places.entry, kDirectoryEntrySize, kDirectoryEntrySize, '\0');
    image.replace(places.checksum, 4, 4, '\0');
    return image;
}

}  // namespace peimage
