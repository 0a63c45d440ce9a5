#pragma once

#include <cstddef>
#include <string>

// Deterministic test data for the codec benchmarks; the same bytes on every run and machine.

// A .BIN image of `size` bytes: six zero bytes, the data length high byte first, then code
// of a small 8-bit controller (skewed opcodes, operands, short jumps), a message table, coin
// value tables and erased (0xFF) fill, in the proportions such a file has.
std::string FirmwareLikeImage(std::size_t size);

// `size` bytes in four equal parts: English-like text with line ends, firmware-like code,
// random bytes that no coder can shrink, and little-endian counter tables with long runs.
std::string MixedData(std::size_t size);
