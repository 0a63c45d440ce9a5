#include "clsFieldProgrammer.h"

#include <stdexcept>
#include <utility>

#include "DeviceCommon.h"
#include "ErrorNumbers.h"
#include "Version.h"
#include "ZelSerialComms.h"
#include "clsError.h"
#include "clsFPBuffers.h"
#include "clsFPDetails.h"
#include "clsFPMemory.h"
#include "clsFPMisc.h"
#include "clsFilingFuncs.h"
#include "clsTiming.h"

namespace {

constexpr std::int32_t kTypeProgramName = 0;
constexpr std::int32_t kTypeDownload = 5;

}  // namespace

struct clsFieldProgrammer::Parts {
    std::unique_ptr<ZelSerialComms> MySerial;
    std::unique_ptr<clsError> MyError;
    std::unique_ptr<clsFPDetails> MyDetails;
    std::unique_ptr<clsFPMisc> misc;
    // The filing object published to the groups stays for the façade's whole life; the one
    // handed out may be replaced by the owner.
    std::shared_ptr<clsFilingFuncs> publishedFiling;
    std::shared_ptr<clsFilingFuncs> filing;
    std::unique_ptr<clsFPMemory> MyMemory;
    std::unique_ptr<clsFPBuffers> buffers;
    std::unique_ptr<clsTiming> timing;
};

clsFieldProgrammer::clsFieldProgrammer(std::unique_ptr<SerialPort> port)
    : parts_(std::make_unique<Parts>()) {
    // Each part is published as soon as it exists, so a later part can rely on the earlier ones.
    parts_->MySerial = std::make_unique<ZelSerialComms>(std::move(port));
    context_.gobjSerial = parts_->MySerial.get();
    parts_->MySerial->Progress = [this](std::int16_t p) { MySerial_Progress(p); };
    parts_->MySerial->ProgFlag = [this](const std::string& v, std::int32_t t) {
        MySerial_ProgFlag(v, t);
    };
    parts_->MySerial->Error = [this](std::int32_t e) { MySerial_Error(e); };

    parts_->MyError = std::make_unique<clsError>();
    context_.gobjError = parts_->MyError.get();
    parts_->MyError->Error = [this] { MyError_Error(); };

    parts_->MyDetails = std::make_unique<clsFPDetails>(context_);
    context_.gobjDetails = parts_->MyDetails.get();
    parts_->MyDetails->Progress = [this](std::int16_t p) { MyDetails_Progress(p); };

    parts_->misc = std::make_unique<clsFPMisc>(context_);
    context_.gobjMisc = parts_->misc.get();

    parts_->publishedFiling = std::make_shared<clsFilingFuncs>();
    parts_->filing = parts_->publishedFiling;
    context_.gobjFilingFuncs = parts_->publishedFiling.get();

    parts_->MyMemory = std::make_unique<clsFPMemory>(context_);
    context_.gobjMemory = parts_->MyMemory.get();
    parts_->MyMemory->Progress = [this](std::int16_t p, std::int32_t t) {
        MyMemory_Progress(p, t);
    };

    parts_->buffers = std::make_unique<clsFPBuffers>(context_);
    parts_->timing = std::make_unique<clsTiming>();
}

// Released in the order they were made, each withdrawn from the context as it goes. The port
// is left as it is: the owner closes it first.
clsFieldProgrammer::~clsFieldProgrammer() {
    parts_->MySerial.reset();
    context_.gobjSerial = nullptr;
    parts_->MyError.reset();
    context_.gobjError = nullptr;
    parts_->MyDetails.reset();
    context_.gobjDetails = nullptr;
    parts_->misc.reset();
    context_.gobjMisc = nullptr;
    parts_->filing.reset();
    parts_->publishedFiling.reset();
    context_.gobjFilingFuncs = nullptr;
    parts_->MyMemory.reset();
    context_.gobjMemory = nullptr;
    parts_->buffers.reset();
    parts_->timing.reset();
}

std::string clsFieldProgrammer::Version() const {
    return std::to_string(fieldprog_version::kMajor) + "." +
           std::to_string(fieldprog_version::kMinor) + "." +
           std::to_string(fieldprog_version::kRevision);
}

clsError& clsFieldProgrammer::LastError() {
    return *parts_->MyError;
}
clsFPDetails& clsFieldProgrammer::Details() {
    return *parts_->MyDetails;
}
clsFPBuffers& clsFieldProgrammer::Buffers() {
    return *parts_->buffers;
}
clsFPMemory& clsFieldProgrammer::Memory() {
    return *parts_->MyMemory;
}
clsFPMisc& clsFieldProgrammer::Misc() {
    return *parts_->misc;
}
clsFilingFuncs& clsFieldProgrammer::FilingFunctions() {
    return *parts_->filing;
}
ZelSerialComms& clsFieldProgrammer::Serial() {
    return *parts_->MySerial;
}

// Replaces only what the façade hands out; the groups keep the object made at construction.
// A null object is ignored, so the getter always has something to return.
void clsFieldProgrammer::FilingFunctions(std::shared_ptr<clsFilingFuncs> objFiling) {
    if (objFiling) parts_->filing = std::move(objFiling);
}

bool clsFieldProgrammer::OpenCommPort(std::int32_t intCommPort) {
    parts_->MyError->Number(0);
    if (!parts_->MySerial->OpenCommPort(intCommPort)) {
        parts_->MyError->Number(errnum::kOpenFailed);
        return false;
    }
    return true;
}

bool clsFieldProgrammer::OpenCommDevice(const std::string& strDevice) {
    parts_->MyError->Number(0);
    if (!parts_->MySerial->OpenCommDevice(strDevice)) {
        parts_->MyError->Number(errnum::kOpenFailed);
        return false;
    }
    return true;
}

bool clsFieldProgrammer::ReopenCommPort() {
    return parts_->MySerial->ReopenCommPort();
}

bool clsFieldProgrammer::CloseCommPort() {
    parts_->MyError->Number(0);
    if (!parts_->MySerial->CloseCommPort()) {
        parts_->MyError->Number(errnum::kCloseFailed);
        return false;
    }
    return true;
}

bool clsFieldProgrammer::WaitForFieldProgrammer(std::int16_t intLoopFor,
                                                const std::function<bool()>& mayGreet) {
    parts_->MyError->Number(0);
    const bool answered = parts_->MySerial->WaitForFieldProgrammer(intLoopFor, mayGreet);
    context_.gblnConnected = answered;
    if (!answered) {
        parts_->MyError->Number(errnum::kConnectFailed);
        return false;
    }
    return true;
}

void clsFieldProgrammer::ExitWaitForFieldProgrammer() {
    parts_->MySerial->ManualExit();
}

// A port is free when it can be opened; it is closed again at once, whatever that says.
bool clsFieldProgrammer::IsComPortFree(std::int32_t intComport) {
    try {
        if (!OpenCommPort(intComport)) return false;
        CloseCommPort();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void clsFieldProgrammer::SleepFor(std::int32_t lngMsSec) {
    parts_->timing->SleepFor(lngMsSec);
}

void clsFieldProgrammer::RaiseProgress(std::int16_t intPercent, std::int32_t intType) {
    if (Progress) Progress(intPercent, intType);
}

void clsFieldProgrammer::MySerial_Progress(std::int16_t intProgress) {
    RaiseProgress(intProgress, kTypeDownload);
}

// The device counts pages in hexadecimal while it clears or rewrites; the last page is
// FlashPages - 1. A value that cannot be turned into a percentage is passed over silently.
void clsFieldProgrammer::MySerial_ProgFlag(const std::string& strValue, std::int32_t intType) {
    std::int16_t percent;
    try {
        const double pages = fpdevice::ParseHex(context_.gobjDetails->FlashPages());
        const double page = fpdevice::ParseHex(strValue);
        percent = fpdevice::Percent(page, pages - 1, 100);
    } catch (const std::exception&) {
        return;
    }
    RaiseProgress(percent, intType);
}

void clsFieldProgrammer::MySerial_Error(std::int32_t lngError) {
    parts_->MyError->Number(lngError);
}

void clsFieldProgrammer::MyError_Error() {
    if (Error) Error();
}

void clsFieldProgrammer::MyDetails_Progress(std::int16_t intPercent) {
    RaiseProgress(intPercent, kTypeProgramName);
}

void clsFieldProgrammer::MyMemory_Progress(std::int16_t intPercent, std::int32_t intType) {
    RaiseProgress(intPercent, intType);
}
