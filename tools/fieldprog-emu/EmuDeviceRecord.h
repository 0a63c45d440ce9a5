#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "EmuTypes.h"

// What one device (one button press) went through.
struct EmuDeviceRecord {
    int number = 0;
    bool transferStarted = false;     // ".X" arrived
    bool transferEnded = false;       // EOT arrived
    EmuMicros eotAt = 0;              // when it arrived
    std::vector<std::uint8_t> image;  // data of every accepted block, in order
    int goodBlocks = 0;
    int badBlocks = 0;               // NAKed, unanswered or out of sequence
    std::string failure;             // the first thing that went wrong, empty when nothing did
    bool poweredDown = false;        // ".Q" arrived
    std::size_t flashDataBytes = 0;  // data bytes the download left in flash
    std::string expectResult;        // "MATCH", "MISMATCH AT <offset>", or empty (no --expect)

    // "OK" for a finished transfer without a bad block, "FAIL" for any other transfer, "NONE"
    // when no transfer was started.
    std::string Verdict() const;
    std::uint16_t ImageCrc() const;
    // "MATCH" or "MISMATCH AT <offset>" for the image against the file it should be. The host
    // sends the file's bytes, maybe one spare zero byte after them, and pads the last block with
    // zeros; anything else is a mismatch.
    std::string CompareWith(const std::vector<std::uint8_t>& expected) const;
    // Keeps the first failure; later ones only follow from it.
    void Fail(const std::string& why) {
        if (failure.empty()) failure = why;
    }
};

// The machine-readable summary line of one device.
std::string EmuDeviceLine(const EmuDeviceRecord& record);
