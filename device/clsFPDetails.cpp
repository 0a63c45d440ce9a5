#include "clsFPDetails.h"

#include <stdexcept>

#include "DeviceCommon.h"
#include "ErrorNumbers.h"
#include "ZelSerialComms.h"
#include "clsFPMemory.h"

using namespace fpdevice;

namespace {

constexpr std::size_t kVersionDigits = 12;  // 6 version, 2 revision, 2 development, 2 qualification
constexpr std::size_t kStatusDigits = 6;    // 2 status register, 4 page count
constexpr std::size_t kNameBytes = 9;       // the program name stored behind its marker
const char* const kNameMarker = "2426";     // the bytes 24h 26h in front of the name

}  // namespace

clsFPDetails::clsFPDetails(DeviceContext& context) : context_(context) {}

std::string clsFPDetails::KeepDigits(const std::string& text) {
    std::string digits;
    for (const char c : text) {
        if (c >= '0' && c <= '9') digits += c;
    }
    return digits;
}

bool clsFPDetails::BankHasData(const std::string& text) {
    return fpdevice::BankHasData(text);
}

void clsFPDetails::RaiseProgress(std::int16_t percent) {
    if (Progress) Progress(percent);
}

bool clsFPDetails::GetFPVersion() {
    if (!BeginOperation(context_)) return false;
    return RunGuarded(context_, errnum::kVersionFault, [&] {
        std::string reply;
        if (!context_.gobjSerial->SendEchoedCommand(".V", &reply, kReplyLoops, kLineEndReply)) {
            SetError(context_, errnum::kVersionNotRecognised);
            return false;
        }
        // Any other digit count means the reply was not a version: keep what we had.
        const std::string digits = KeepDigits(reply);
        if (digits.size() == kVersionDigits) {
            softwareVersion_ = digits.substr(0, 6);
            softwareRevision_ = digits.substr(6, 2);
            softwareDevelopmentRev_ = digits.substr(8, 2);
            softwareQualificationRev_ = digits.substr(10, 2);
        }
        return true;
    });
}

bool clsFPDetails::GetFPStatusRegister() {
    if (!BeginOperation(context_)) return false;
    return RunGuarded(context_, errnum::kStatusFault, [&] {
        std::string reply;
        if (!context_.gobjSerial->SendEchoedCommand(".K", &reply, kReplyLoops, kLineEndReply)) {
            SetError(context_, errnum::kStatusNotRecognised);
            return false;
        }
        // Only decimal digits survive, so a page count such as 04A0 gives 5 digits and the
        // previous values stay.
        const std::string digits = KeepDigits(reply);
        if (digits.size() == kStatusDigits) {
            statusRegister_ = digits.substr(0, 2);
            flashPages_ = digits.substr(2, 4);
        }
        return true;
    });
}

bool clsFPDetails::ReadBank(std::int64_t bank, std::string& text) {
    if (bank < INT32_MIN || bank > INT32_MAX) throw std::out_of_range("bank number");
    return context_.gobjMemory->ReadFlashBankAddr(static_cast<std::int32_t>(bank), text);
}

// Finds the last bank holding data with two coarse upward passes and one downward pass, then
// looks for the name marker in that bank and the one before it (the name may straddle them).
// A fault here has no error text of its own, so it leaves the number as it is; SearchFaulted
// tells it from a flash that holds no name.
bool clsFPDetails::ReadProgramName() {
    searchFaulted_ = false;
    if (!BeginOperation(context_)) return false;
    try {
        return SearchProgramName();
    } catch (const std::exception&) {
        searchFaulted_ = true;
        return false;
    }
}

bool clsFPDetails::SearchProgramName() {
    {
        if (!context_.gobjDetails->GetFPStatusRegister()) return false;
        const std::int64_t highest =
            static_cast<std::int64_t>(ParseHex(context_.gobjDetails->FlashPages())) - 1;
        RaiseProgress(0);
        std::string text;

        // Coarse pass: 65 probes across the whole flash.
        const std::int64_t stride1 = highest / 64;
        std::int64_t coarseEnd = highest;
        for (int i = 64; i >= 0; --i) {
            const std::int64_t bank = highest - stride1 * i;
            if (!ReadBank(bank, text)) return false;
            if (!BankHasData(text)) {
                coarseEnd = bank;
                break;
            }
            RaiseProgress(Percent(static_cast<double>(highest - bank), highest, 49));
        }
        RaiseProgress(50);

        // Finer pass: 17 probes below the first blank bank found.
        const std::int64_t stride2 = coarseEnd / 16;
        std::int64_t fineEnd = coarseEnd;
        for (int i = 16; i >= 0; --i) {
            const std::int64_t bank = coarseEnd - stride2 * i;
            if (!ReadBank(bank, text)) return false;
            if (!BankHasData(text)) {
                fineEnd = bank;
                break;
            }
            RaiseProgress(Percent(static_cast<double>(coarseEnd - bank), coarseEnd, 24, 50));
        }
        RaiseProgress(75);

        // Downward, bank by bank, to the last one that holds data.
        std::int64_t lastData = -1;
        for (std::int64_t bank = fineEnd; bank >= 0; --bank) {
            if (!ReadBank(bank, text)) return false;
            if (BankHasData(text) && bank != 0) {
                lastData = bank;
                break;
            }
            RaiseProgress(Percent(static_cast<double>(fineEnd - bank), fineEnd, 20, 75));
        }

        std::string joined;
        if (lastData > 0) {
            std::string before;
            std::string last;
            if (!ReadBank(lastData - 1, before)) return false;
            if (!ReadBank(lastData, last)) return false;
            joined = before + last;
        }
        std::string digits;
        for (const char c : joined) {
            if (c != ' ') digits += c;
        }

        // The marker is searched as characters, so it may start in the middle of a byte.
        const std::size_t marker = digits.find(kNameMarker);
        if (marker == std::string::npos) return false;
        const std::size_t start = marker + 4;
        if (digits.size() < start + 2 * kNameBytes) throw std::out_of_range("name cut short");
        std::string name;
        for (std::size_t k = 0; k < kNameBytes; ++k) {
            const std::uint32_t code = ParseHex(digits.substr(start + 2 * k, 2));
            name += static_cast<char>(code);
        }
        programName_ = name;
        RaiseProgress(100);
        return true;
    }
}
