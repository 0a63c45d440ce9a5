#include "ExitCodes.h"

#include <algorithm>
#include <array>

namespace exitcode {

namespace {

// Error numbers grouped by what went wrong, so that a script need not know every number.
constexpr std::array<std::int32_t, 17> kNotRecognisedNumbers = {
    104, 106, 109, 114, 117, 123, 124, 125, 127, 130, 132, 134, 135, 136, 137, 140, 144};
constexpr std::array<std::int32_t, 7> kNoDataNumbers = {110, 118, 119, 128, 138, 141, 143};
constexpr std::array<std::int32_t, 4> kOutOfRangeNumbers = {108, 113, 116, 122};

template <std::size_t N>
bool Contains(const std::array<std::int32_t, N>& list, std::int32_t number) {
    return std::find(list.begin(), list.end(), number) != list.end();
}

}  // namespace

int ForErrorNumber(std::int32_t number) {
    if (number == 101) return kPortError;
    if (number == 103) return kNoDevice;
    if (number == 146 || number == 147) return kBadInput;  // file or folder missing
    if (Contains(kNotRecognisedNumbers, number)) return kNotRecognised;
    if (Contains(kNoDataNumbers, number)) return kNoData;
    if (Contains(kOutOfRangeNumbers, number)) return kOutOfRange;
    return kFault;
}

}  // namespace exitcode
