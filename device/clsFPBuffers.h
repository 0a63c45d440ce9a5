#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceContext.h"

// Reads three RAM buffers of the Field Programmer into byte arrays. Each array ends with a
// spare 0 entry after the bytes read; a buffer keeps its contents until its next successful
// read.
class clsFPBuffers {
  public:
    explicit clsFPBuffers(DeviceContext& context);

    std::vector<std::uint8_t> InternalReceiveBuffer() const { return internalReceiveBuffer_; }
    std::vector<std::uint8_t> PrimaryFlashRAMBuffer() const { return primaryFlashRAMBuffer_; }
    std::vector<std::uint8_t> SecondaryFlashRAMBuffer() const { return secondaryFlashRAMBuffer_; }

    bool ReadInternalReceiveBuffer();    // ".B": digits without separators
    bool ReadPrimaryFlashRAMBuffer();    // ".G1": values separated by spaces
    bool ReadSecondaryFlashRAMBuffer();  // ".G2": as ".G1"

  private:
    bool ReadBufferData(const char* command, std::int32_t notRecognised, std::int32_t noData,
                        std::string& data);
    bool ReadSpacedBuffer(const char* command, std::int32_t notRecognised, std::int32_t noData,
                          std::int32_t fault, std::vector<std::uint8_t>& buffer);

    DeviceContext& context_;
    std::vector<std::uint8_t> internalReceiveBuffer_;
    std::vector<std::uint8_t> primaryFlashRAMBuffer_;
    std::vector<std::uint8_t> secondaryFlashRAMBuffer_;
};
