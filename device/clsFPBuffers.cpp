#include "clsFPBuffers.h"

#include "DeviceCommon.h"
#include "ZelSerialComms.h"
#include "clsFPMisc.h"

using namespace fpdevice;

namespace {

constexpr std::int32_t kReceiveNotRecognised = 127;
constexpr std::int32_t kReceiveNoData = 128;
constexpr std::int32_t kReceiveFault = 129;
constexpr std::int32_t kPrimaryNotRecognised = 137;
constexpr std::int32_t kPrimaryNoData = 138;
constexpr std::int32_t kPrimaryFault = 139;
constexpr std::int32_t kSecondaryNotRecognised = 140;
constexpr std::int32_t kSecondaryNoData = 141;
constexpr std::int32_t kSecondaryFault = 142;

}  // namespace

clsFPBuffers::clsFPBuffers(DeviceContext& context) : context_(context) {}

// The buffer's data are whatever follows the first line feed of the reply.
bool clsFPBuffers::ReadBufferData(const char* command, std::int32_t notRecognised,
                                  std::int32_t noData, std::string& data) {
    std::string reply;
    if (!context_.gobjSerial->SendEchoedCommand(command, &reply, kReplyLoops, kLineEndReply)) {
        SetError(context_, notRecognised);
        return false;
    }
    const std::size_t lf = reply.find('\n');
    if (lf == std::string::npos) {
        SetError(context_, noData);
        return false;
    }
    data = reply.substr(lf + 1);
    return true;
}

// With no data after the line feed there are no pieces, and the buffer becomes empty (not
// even the spare entry): nothing was read, so nothing is pretended.
bool clsFPBuffers::ReadInternalReceiveBuffer() {
    if (!BeginOperation(context_)) return false;
    return RunGuarded(context_, kReceiveFault, [&] {
        std::string data;
        if (!ReadBufferData(".B", kReceiveNotRecognised, kReceiveNoData, data)) return false;
        // Digits come without separators: take them in pairs, an odd last digit alone, and
        // add the spare last entry.
        std::vector<std::string> pieces;
        for (std::size_t i = 0; i < data.size(); i += 2) pieces.push_back(data.substr(i, 2));
        if (!pieces.empty()) pieces.emplace_back();
        internalReceiveBuffer_ = context_.gobjMisc->ConvertStringArrayToByteArray(pieces);
        return true;
    });
}

bool clsFPBuffers::ReadSpacedBuffer(const char* command, std::int32_t notRecognised,
                                    std::int32_t noData, std::int32_t fault,
                                    std::vector<std::uint8_t>& buffer) {
    if (!BeginOperation(context_)) return false;
    return RunGuarded(context_, fault, [&] {
        std::string data;
        if (!ReadBufferData(command, notRecognised, noData, data)) return false;
        // The piece after the last space is the spare entry: the device ends its list with a
        // space, and a value without one behind it is not taken.
        buffer = context_.gobjMisc->ConvertStringArrayToByteArray(Split(data, ' '));
        return true;
    });
}

bool clsFPBuffers::ReadPrimaryFlashRAMBuffer() {
    return ReadSpacedBuffer(".G1", kPrimaryNotRecognised, kPrimaryNoData, kPrimaryFault,
                            primaryFlashRAMBuffer_);
}

bool clsFPBuffers::ReadSecondaryFlashRAMBuffer() {
    return ReadSpacedBuffer(".G2", kSecondaryNotRecognised, kSecondaryNoData, kSecondaryFault,
                            secondaryFlashRAMBuffer_);
}
