#pragma once

// Firmware-like bytes, .BIN images and downloaders, built with the program's own code.

#include <cstdint>
#include <string>
#include <vector>

#include "BinFile.h"
#include "FileSystem.h"
#include "ZelPayload.h"

using Bytes = std::vector<std::uint8_t>;

// Bytes that look like firmware: a fixed pseudo-random sequence.
inline Bytes Noise(std::size_t count, std::uint32_t seed = 1) {
    Bytes bytes(count);
    for (auto& b : bytes) b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
    return bytes;
}

// A .BIN image of `count` data bytes; the last one is not erased (FFh), so a read-back keeps it.
inline Bytes BinImage(std::size_t count, std::uint32_t seed = 1) {
    Bytes bytes = binfile::Header(count);
    const Bytes data = Noise(count, seed);
    bytes.insert(bytes.end(), data.begin(), data.end());
    if (count != 0) bytes.back() = 0x5A;
    return bytes;
}

// What a device receives for `image`: the image, its last block filled up with zeros.
inline Bytes Padded(Bytes image) {
    image.resize((image.size() + 127) / 128 * 128, 0x00);
    return image;
}

inline std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// `folder`/CC46-EURO.exe with `image` (none if empty) and a record naming `language`; "": failed.
inline std::string MakeDownloader(const std::string& folder, const Bytes& image, int language = 0) {
    const std::string stub = folder + "/stub", path = folder + "/CC46-EURO.exe";
    std::vector<PayloadEntry> entries;
    if (!image.empty()) entries.push_back({"CC46-EURO.BIN", Text(image)});
    entries.push_back(
        {"README.TXT", "CC46-EURO,00" + std::to_string(language) + ",Euro,BLANK\r\n"});
    FileSystem::RemoveFile(path);
    const bool built = FileSystem::WriteWholeFile(stub, "\x7f ELF stand-in program\n") &&
                       ZelPayload().BuildPayloadFrom(stub, entries, path);
    return built ? path : std::string();
}
