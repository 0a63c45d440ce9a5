#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The layout of a field-programmer binary file (.BIN), which is also what the device's flash
// holds: six zero bytes, the data count N as two bytes (high byte first), then N data bytes.
// The whole file goes to the device; the device takes the N data bytes after the header.
//
// One rule for every tool: a file is an image when it holds the 8 header bytes and at least
// the N data bytes its header counts, N ≥ 1. A shorter file is refused, since the device would
// take the transfer's zero padding in place of the missing bytes. Bytes after the counted data
// and a header whose first six bytes are not zero are allowed, with a warning.
namespace binfile {

constexpr std::size_t kHeaderBytes = 8;
constexpr std::size_t kMaxDataBytes = 0xFFFF;  // what two bytes can count

// N, the data count of the header; 0 when the file is too short to hold a header.
std::size_t DataCount(const std::vector<std::uint8_t>& bytes);
// Why the bytes must not be programmed; empty when they may. `language` is the string table's
// offset (0 English, 100 French, 200 German).
std::string Problem(const std::vector<std::uint8_t>& bytes, int language = 0);
// Harmless oddities worth a warning; empty when there are none.
std::string Warning(const std::vector<std::uint8_t>& bytes, int language = 0);
// The header for `count` data bytes.
std::vector<std::uint8_t> Header(std::size_t count);
// The bytes the flash holds for this image: the counted data after the header (at most what
// the file has), without trailing erased (FFh) bytes, which a read-back cannot tell from
// erased flash.
std::vector<std::uint8_t> FlashData(const std::vector<std::uint8_t>& bytes);

}  // namespace binfile
