#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DeviceContext.h"

// Three one-word device commands and the conversions between byte arrays and arrays of
// two-digit hexadecimal texts. Arrays here carry a spare last entry: n items in n + 1
// entries, the last one not converted (left 0 or empty).
class clsFPMisc {
  public:
    explicit clsFPMisc(DeviceContext& context);

    // ".I", ".Q", ".L". Unlike the other device operations these let an exception from the
    // link reach the caller.
    bool ExecuteInterpreter();
    bool PowerdownFP();
    bool FlashFPLEDs();

    // Both keep the input's size. An input of more than 32768 entries, or with no entries at
    // all, gives an empty array; a piece that is not a hexadecimal byte ends the conversion
    // there, leaving the rest 0.
    std::vector<std::string> ConvertByteArrayToStringArray(
        const std::vector<std::uint8_t>& bytArray) const;
    std::vector<std::uint8_t> ConvertStringArrayToByteArray(
        const std::vector<std::string>& strArray) const;

  private:
    bool OneWordCommand(const char* command, std::int32_t notRecognised);

    DeviceContext& context_;
};
