#include "ExitCodes.h"

#include <algorithm>
#include <array>

#include "ErrorNumbers.h"

namespace exitcode {

namespace {

// Error numbers grouped by what went wrong, so that a script need not know every number.
using namespace errnum;
constexpr std::array<std::int32_t, 17> kNotRecognisedNumbers = {kVersionNotRecognised,
                                                                kStatusNotRecognised,
                                                                kBankNotRecognised,
                                                                kReadByteNotRecognised,
                                                                kWriteByteNotRecognised,
                                                                kBlockNotRecognised,
                                                                kBlockNextNotRecognised,
                                                                kBlockExitNotRecognised,
                                                                kReceiveNotRecognised,
                                                                kClearNotRecognised,
                                                                kRewriteNotRecognised,
                                                                kInterpreterNotRecognised,
                                                                kPowerdownNotRecognised,
                                                                kFlashLedsNotRecognised,
                                                                kPrimaryNotRecognised,
                                                                kSecondaryNotRecognised,
                                                                kNoStart};
constexpr std::array<std::int32_t, 7> kNoDataNumbers = {
    kBankNoData,    kWriteByteNoData, kWriteByteNotWritten,
    kReceiveNoData, kPrimaryNoData,   kSecondaryNoData,
    kNoAck};
constexpr std::array<std::int32_t, 4> kOutOfRangeNumbers = {kBankOutOfRange, kReadByteOutOfRange,
                                                            kWriteByteOutOfRange, kBlockOutOfRange};

template <std::size_t N>
bool Contains(const std::array<std::int32_t, N>& list, std::int32_t number) {
    return std::find(list.begin(), list.end(), number) != list.end();
}

}  // namespace

int ForErrorNumber(std::int32_t number) {
    if (number == errnum::kOpenFailed) return kPortError;
    if (number == errnum::kConnectFailed) return kNoDevice;
    if (number == errnum::kFileMissing || number == errnum::kFolderMissing) return kBadInput;
    if (Contains(kNotRecognisedNumbers, number)) return kNotRecognised;
    if (Contains(kNoDataNumbers, number)) return kNoData;
    if (Contains(kOutOfRangeNumbers, number)) return kOutOfRange;
    return kFault;
}

}  // namespace exitcode
