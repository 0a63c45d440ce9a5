#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A flash image as the tool programs or compares it: the bytes of a .BIN file (8-byte
// header, then the data bytes) and where they came from.
struct FlashImage {
    std::vector<std::uint8_t> bytes;
    std::string name;        // shown and logged: the file name, or the payload record's name
    std::string sourcePath;  // the .BIN file or the downloader it came from
    bool fromPayload = false;
    bool hasLanguage = false;  // the payload carried a usable README.TXT record
    std::int16_t language = 0;
};

// Largest file the tool reads as an image: the device addresses 16 MiB of flash at most.
constexpr std::size_t kMaxImageBytes = 16u * 1024u * 1024u;

// Reads a .BIN file. False with the reason when it cannot be read.
bool LoadImageFile(const std::string& path, FlashImage& image, std::string& error);
// Takes the binary file out of a downloader's payload ("" = this program's own).
bool LoadPayloadImage(const std::string& path, FlashImage& image, std::string& error);
// A .BIN file or, when the file carries a payload, that payload's binary file.
bool LoadAnyImage(const std::string& path, FlashImage& image, std::string& error);

// The CRC-16 of the whole image as four upper-case hex digits, the image's fingerprint in
// the tool's messages and production records.
std::string ImageCrcText(const std::vector<std::uint8_t>& bytes);
