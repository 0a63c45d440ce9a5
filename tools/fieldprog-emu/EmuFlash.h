#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The device's flash: `pages` banks of `bankSize` bytes. Programming can only clear bits, as on
// the real part, so data written over unerased flash comes out as the AND of old and new.
class EmuFlash {
  public:
    EmuFlash(int pages, int bankSize);

    int Pages() const { return pages_; }
    int BankSize() const { return bankSize_; }
    std::size_t Size() const { return bytes_.size(); }
    const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

    void Erase();
    std::uint8_t Read(std::size_t address) const;
    void Program(std::size_t address, std::uint8_t value);

    // Keeps a downloaded image as the device does: the 8-byte header carries the data length N
    // in bytes 6-7 (high byte first) and the N data bytes behind it go to flash from address 0.
    // N is capped by the bytes actually received and by the flash size. Returns the count kept.
    // The two RAM buffers then hold the last bank written and the one before it.
    std::size_t ProgramImage(const std::vector<std::uint8_t>& image);

    // RAM buffer 1 or 2 (".G1", ".G2"): erased until a download has filled it.
    const std::vector<std::uint8_t>& RamBuffer(int which) const {
        return which == 1 ? primary_ : secondary_;
    }

    // A bank as the ".D" reply carries it: "XX " for every byte.
    std::string BankText(int bank) const;

  private:
    int pages_;
    int bankSize_;
    std::vector<std::uint8_t> bytes_;
    std::vector<std::uint8_t> primary_;
    std::vector<std::uint8_t> secondary_;
};
