#include "clsFPMemory.h"

#include <algorithm>
#include <stdexcept>

#include "DeviceCommon.h"
#include "ErrorNumbers.h"
#include "FileSystem.h"
#include "ZelSerialComms.h"
#include "clsFPDetails.h"
#include "clsFilingFuncs.h"

using namespace fpdevice;

namespace {

constexpr int kBankDigits = 4;     // bank numbers 0 to FFFFh
constexpr int kAddressDigits = 6;  // byte addresses 0 to FFFFFFh
constexpr std::int32_t kTypeReadBack = 1;
constexpr std::int32_t kTypeBlock = 2;
constexpr std::int32_t kTypeClear = 3;
constexpr std::int32_t kTypeRewrite = 4;
constexpr std::int32_t kTypeSearch = 6;
constexpr std::uint32_t kLargestImageData = 0xFFFF;  // the header holds N in two bytes
// Far more than any flash the device addresses (16 MiB); a larger file is not an image.
constexpr std::uint64_t kLargestFileBytes = 64u * 1024u * 1024u;

// Index of the last piece, the empty one behind the final space excepted, that is not an
// erased byte; -1 when there is none.
std::int64_t LastProgrammedPiece(const std::vector<std::string>& pieces) {
    for (std::int64_t k = static_cast<std::int64_t>(pieces.size()) - 2; k >= 0; --k) {
        if (pieces[static_cast<std::size_t>(k)] != "FF") return k;
    }
    return -1;
}

}  // namespace

clsFPMemory::clsFPMemory(DeviceContext& context) : context_(context) {}

bool clsFPMemory::BankHasData(const std::string& text) {
    return fpdevice::BankHasData(text);
}

std::string clsFPMemory::KeepHexDigits(const std::string& text) {
    std::string digits;
    for (const char c : text) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) digits += c;
    }
    return digits;
}

void clsFPMemory::RaiseProgress(std::int16_t percent, std::int32_t type) {
    if (Progress) Progress(percent, type);
}

bool clsFPMemory::LoadBinaryFile(const std::string& strFileName) {
    if (strFileName.empty() || !FileSystem::IsRegularFile(strFileName)) {
        SetError(context_, errnum::kFileMissing);
        return false;
    }
    // Exactly the file's bytes: what is saved again, or downloaded, is what was loaded.
    std::string content;
    if (!FileSystem::ReadWholeFile(strFileName, content, kLargestFileBytes)) return false;
    allFlashBankData_.assign(content.begin(), content.end());
    return true;
}

bool clsFPMemory::SaveBinaryFile(const std::string& strFileName) {
    // Only a missing folder is refused; an existing folder that holds no files yet is a
    // perfectly good place to save into. A bare file name means the current folder.
    const std::string folder = context_.gobjFilingFuncs->PathName(strFileName);
    if (!FileSystem::IsDirectory(folder.empty() ? std::string(".") : folder)) {
        SetError(context_, errnum::kFolderMissing);
        return false;
    }
    // Replaced whole, so that a shorter image does not keep the tail of an older file.
    return FileSystem::WriteWholeFile(
        strFileName, std::string(allFlashBankData_.begin(), allFlashBankData_.end()));
}

bool clsFPMemory::ReadFlashBankAddr(std::int32_t lngAddr, std::string& strData) {
    if (!BeginOperation(context_)) return false;
    return RunGuarded(context_, errnum::kBankFault, [&] {
        std::string bank;
        if (!HexField(lngAddr, kBankDigits, bank)) {
            SetError(context_, errnum::kBankOutOfRange);
            return false;
        }
        std::string reply;
        if (!context_.gobjSerial->SendEchoedCommand(".D" + bank, &reply, kReplyLoops,
                                                    kLineEndReply)) {
            SetError(context_, errnum::kBankNotRecognised);
            return false;
        }
        const std::size_t lf = reply.find('\n');
        if (lf == std::string::npos) {
            SetError(context_, errnum::kBankNoData);
            return false;
        }
        strData = reply.substr(lf + 1);
        return true;
    });
}

// Two phases: probes at a stride of a 64th of the flash find a blank bank beyond the data,
// then banks are read one by one from bank 0 up to the first blank one. The image is the
// 8-byte header followed by the data up to the last byte that is not erased.
bool clsFPMemory::ReadAllFlashBankAddrs() {
    if (!BeginOperation(context_)) return false;
    return RunGuarded(context_, errnum::kReadAllFault, [&] {
        if (!context_.gobjDetails->GetFPStatusRegister()) return false;
        const std::int64_t highest =
            static_cast<std::int64_t>(ParseHex(context_.gobjDetails->FlashPages())) - 1;
        if (highest > INT32_MAX) throw std::out_of_range("page count");
        std::string text;

        const std::int64_t stride = highest / 64;
        std::int64_t end = highest;
        RaiseProgress(0, kTypeSearch);
        for (int i = 64; i >= 0; --i) {
            const std::int64_t bank = highest - stride * i;
            if (!ReadFlashBankAddr(static_cast<std::int32_t>(bank), text)) return false;
            RaiseProgress(Percent(static_cast<double>(highest - bank), highest, 100), kTypeSearch);
            if (!BankHasData(text)) {
                end = bank;
                break;
            }
        }
        RaiseProgress(100, kTypeSearch);

        std::string collected;
        RaiseProgress(0, kTypeReadBack);
        for (std::int64_t bank = 0; bank <= end; ++bank) {
            if (!ReadFlashBankAddr(static_cast<std::int32_t>(bank), text)) return false;
            if (!BankHasData(text)) break;
            collected += text;
            RaiseProgress(Percent(static_cast<double>(bank), end, 100), kTypeReadBack);
        }

        const std::int64_t lastData = LastProgrammedPiece(Split(collected, ' '));
        const std::uint64_t count = static_cast<std::uint64_t>(lastData + 1);
        // The header has two bytes for the length. Rather than write a wrong length, a flash
        // holding more data than that refuses to be read back.
        if (count > kLargestImageData)
            throw std::length_error("image longer than the header allows");
        std::string length;
        HexField(static_cast<std::int64_t>(count), 4, length);
        const std::string header =
            "00 00 00 00 00 00 " + length.substr(0, 2) + " " + length.substr(2, 2) + " ";

        const std::vector<std::string> pieces = Split(header + collected, ' ');
        const std::int64_t last = LastProgrammedPiece(pieces);
        std::vector<std::uint8_t> image;
        image.reserve(static_cast<std::size_t>(last + 1));
        for (std::int64_t k = 0; k <= last; ++k) {
            const std::uint32_t value = ParseHex(pieces[static_cast<std::size_t>(k)]);
            if (value > 0xFF) throw std::out_of_range("not a byte");
            image.push_back(static_cast<std::uint8_t>(value));
        }
        allFlashBankData_ = std::move(image);
        RaiseProgress(100, kTypeReadBack);
        return true;
    });
}

bool clsFPMemory::ReadIndividualAddress(std::int32_t lngAddr, std::string& strHexData) {
    if (!BeginOperation(context_)) return false;
    return RunGuarded(context_, errnum::kReadByteFault, [&] {
        std::string address;
        if (!HexField(lngAddr, kAddressDigits, address)) {
            SetError(context_, errnum::kReadByteOutOfRange);
            return false;
        }
        std::string reply;
        if (!context_.gobjSerial->SendEchoedCommand(".R" + address + "\r", &reply, kReplyLoops,
                                                    kLineEndReply)) {
            SetError(context_, errnum::kReadByteNotRecognised);
            return false;
        }
        strHexData = Right(reply, 2);
        return true;
    });
}

bool clsFPMemory::WriteIndividualAddress(std::int32_t lngAddr, std::string& strHexData) {
    if (!BeginOperation(context_)) return false;
    return RunGuarded(context_, errnum::kWriteByteFault, [&] {
        std::string address;
        if (!HexField(lngAddr, kAddressDigits, address) || strHexData.size() > 2) {
            SetError(context_, errnum::kWriteByteOutOfRange);
            return false;
        }
        std::transform(strHexData.begin(), strHexData.end(), strHexData.begin(), [](char c) {
            return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        });
        ZelSerialComms& serial = *context_.gobjSerial;
        if (serial.SendEchoedString(".R" + address, kEchoDelayMs, kLineEndReply).empty()) {
            SetError(context_, errnum::kWriteByteNotRecognised);
            return false;
        }
        const std::string answer = serial.SendEchoedString(strHexData, kEchoDelayMs, kLineEndReply);
        if (answer.empty()) {
            SetError(context_, errnum::kWriteByteNoData);
            return false;
        }
        // The device answers the value with what the byte holds afterwards.
        if (answer.substr(0, 2) != Right(answer, 2)) {
            SetError(context_, errnum::kWriteByteNotWritten);
            return false;
        }
        // Leaves the address mode; the byte is written whatever this answers.
        std::string reply;
        serial.SendEchoedCommand("\r\r", &reply, kReplyLoops, kLineEndReply);
        return true;
    });
}

bool clsFPMemory::ReadBlockAddress(std::int32_t lngStartAddr, std::int32_t lngBlockSize,
                                   std::vector<std::string>& strData) {
    if (!BeginOperation(context_)) return false;
    return RunGuarded(context_, errnum::kBlockFault, [&] {
        std::string address;
        if (!HexField(lngStartAddr, kAddressDigits, address)) {
            SetError(context_, errnum::kBlockOutOfRange);
            return false;
        }
        if (lngBlockSize < 0) throw std::out_of_range("negative block size");
        strData.assign(static_cast<std::size_t>(lngBlockSize) + 1, std::string());
        ZelSerialComms& serial = *context_.gobjSerial;
        std::string reply;
        if (!serial.SendEchoedCommand(".R" + address, &reply, kReplyLoops, kLineEndReply)) {
            SetError(context_, errnum::kBlockNotRecognised);
            return false;
        }
        strData[0] = Right(reply, 2);
        RaiseProgress(0, kTypeBlock);
        for (std::int32_t i = 0; i < lngBlockSize; ++i) {
            // Two spaces step the device to the next address, which it answers with its byte.
            const std::string digits = KeepHexDigits(serial.SendString("  ", kEchoDelayMs));
            if (digits.empty()) {
                SetError(context_, errnum::kBlockNextNotRecognised);
                return false;
            }
            strData[static_cast<std::size_t>(i) + 1] = Right(digits, 2);
            RaiseProgress(Percent(i, lngBlockSize, 100), kTypeBlock);
        }
        RaiseProgress(100, kTypeBlock);
        std::string exitReply;
        if (!serial.SendEchoedCommand("\r", &exitReply, kReplyLoops, kLineEndReply)) {
            SetError(context_, errnum::kBlockExitNotRecognised);
            return false;
        }
        return true;
    });
}

bool clsFPMemory::DownloadBinaryData() {
    // The link clears and sets the error number of the transfer itself.
    if (!context_.gblnConnected) return false;
    try {
        return context_.gobjSerial->DownloadBinaryData(allFlashBankData_);
    } catch (const std::exception&) {
        SetError(context_, errnum::kTransferFailed);
        return false;
    }
}

bool clsFPMemory::ProgressiveCommand(const char* command, std::int32_t intType,
                                     std::int32_t notRecognised, std::int32_t fault) {
    if (!BeginOperation(context_)) return false;
    return RunGuarded(context_, fault, [&] {
        // Refreshes the page count that turns the device's page numbers into percentages.
        if (!context_.gobjDetails->GetFPStatusRegister()) return false;
        std::string reply;
        if (!context_.gobjSerial->SendProgEchoedCommand(command, &reply, kReplyLoops, intType)) {
            SetError(context_, notRecognised);
            return false;
        }
        return true;
    });
}

bool clsFPMemory::ClearFlashMemory() {
    return ProgressiveCommand(".C", kTypeClear, errnum::kClearNotRecognised, errnum::kClearFault);
}

bool clsFPMemory::ReWriteFlashMemory() {
    return ProgressiveCommand(".W", kTypeRewrite, errnum::kRewriteNotRecognised,
                              errnum::kRewriteFault);
}
