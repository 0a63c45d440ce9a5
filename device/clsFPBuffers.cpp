#include "clsFPBuffers.h"

#include "DeviceCommon.h"
#include "ErrorNumbers.h"
#include "ZelSerialComms.h"
#include "clsFPMisc.h"

using namespace fpdevice;

namespace {}  // namespace

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
    return RunGuarded(context_, errnum::kReceiveFault, [&] {
        std::string data;
        if (!ReadBufferData(".B", errnum::kReceiveNotRecognised, errnum::kReceiveNoData, data))
            return false;
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
    return ReadSpacedBuffer(".G1", errnum::kPrimaryNotRecognised, errnum::kPrimaryNoData,
                            errnum::kPrimaryFault, primaryFlashRAMBuffer_);
}

bool clsFPBuffers::ReadSecondaryFlashRAMBuffer() {
    return ReadSpacedBuffer(".G2", errnum::kSecondaryNotRecognised, errnum::kSecondaryNoData,
                            errnum::kSecondaryFault, secondaryFlashRAMBuffer_);
}
