#include "clsFPMisc.h"

#include <cstdio>

#include "DeviceCommon.h"
#include "ErrorNumbers.h"
#include "ZelSerialComms.h"

using namespace fpdevice;

namespace {

// Array bounds travel as 16-bit numbers: the highest index may be at most 32767.
constexpr std::size_t kMostEntries = 32768;

}  // namespace

clsFPMisc::clsFPMisc(DeviceContext& context) : context_(context) {}

bool clsFPMisc::OneWordCommand(const char* command, std::int32_t notRecognised) {
    if (!BeginOperation(context_)) return false;
    std::string reply;
    if (!context_.gobjSerial->SendEchoedCommand(command, &reply, kReplyLoops, kLineEndReply)) {
        SetError(context_, notRecognised);
        return false;
    }
    return true;
}

bool clsFPMisc::ExecuteInterpreter() {
    return OneWordCommand(".I", errnum::kInterpreterNotRecognised);
}

bool clsFPMisc::PowerdownFP() {
    return OneWordCommand(".Q", errnum::kPowerdownNotRecognised);
}

bool clsFPMisc::FlashFPLEDs() {
    return OneWordCommand(".L", errnum::kFlashLedsNotRecognised);
}

std::vector<std::string> clsFPMisc::ConvertByteArrayToStringArray(
    const std::vector<std::uint8_t>& bytArray) const {
    if (bytArray.empty() || bytArray.size() > kMostEntries) return {};
    std::vector<std::string> texts(bytArray.size());
    for (std::size_t i = 0; i + 1 < bytArray.size(); ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", bytArray[i]);
        texts[i] = pair;
    }
    return texts;
}

std::vector<std::uint8_t> clsFPMisc::ConvertStringArrayToByteArray(
    const std::vector<std::string>& strArray) const {
    if (strArray.empty() || strArray.size() > kMostEntries) return {};
    std::vector<std::uint8_t> bytes(strArray.size(), 0);
    for (std::size_t i = 0; i + 1 < strArray.size(); ++i) {
        std::uint32_t value;
        try {
            value = ParseHex(strArray[i]);
        } catch (const std::exception&) {
            break;
        }
        if (value > 0xFF) break;
        bytes[i] = static_cast<std::uint8_t>(value);
    }
    return bytes;
}
