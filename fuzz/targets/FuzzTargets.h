#pragma once

// The bodies of the fuzz targets. Each takes one input and returns 0; a broken property ends
// the process through FuzzFail, so libFuzzer records the input and the corpus replay fails.
// The same functions run under libFuzzer (fuzz/) and in the ordinary test build (replay).

#include <cstddef>
#include <cstdint>
#include <string>

int FuzzDecoder(const std::uint8_t* data, std::size_t size);
int FuzzContainer(const std::uint8_t* data, std::size_t size);
int FuzzReadMe(const std::uint8_t* data, std::size_t size);
int FuzzDevice(const std::uint8_t* data, std::size_t size);

// Reports a broken property (with the replayed file's name, when one is set) and aborts.
[[noreturn]] void FuzzFail(const std::string& what);
#define FUZZ_CHECK(condition, what)       \
    do {                                  \
        if (!(condition)) FuzzFail(what); \
    } while (false)

// The corpus replay names the file it is running, so that a failure says which one.
void FuzzSetCurrentInput(const std::string& name);

// A private scratch folder per target and process, removed at exit.
std::string FuzzScratchFolder(const std::string& target);
// Writes the bytes as the whole content of the file; false on any error.
bool FuzzWriteFile(const std::string& path, const std::string& bytes);

// Takes an input apart from the front: numbers first, the rest as bytes. Reading past the
// end yields zeros and empty strings, so every input is usable.
class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
    std::string Bytes(std::size_t count) {
        const std::size_t n = count < size_ - pos_ ? count : size_ - pos_;
        std::string out(reinterpret_cast<const char*>(data_ + pos_), n);
        pos_ += n;
        return out;
    }
    std::string Rest() { return Bytes(size_ - pos_); }
    bool Empty() const { return pos_ >= size_; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};
