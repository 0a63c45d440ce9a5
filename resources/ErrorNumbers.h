#pragma once

#include <cstdint>

// The error numbers of the device command set. Each is also the id of its text in the string
// table (LoadResString), which is why the numbers never change.
namespace errnum {

constexpr std::int32_t kNone = 0;
constexpr std::int32_t kOpenFailed = 101;            // Failed to open com port.
constexpr std::int32_t kCloseFailed = 102;           // Failed to close com port.
constexpr std::int32_t kConnectFailed = 103;         // Failed to connect to field programmer.
constexpr std::int32_t kVersionNotRecognised = 104;  // Version command not recognised.
constexpr std::int32_t kVersionFault = 105;          // Version command failed.
constexpr std::int32_t kStatusNotRecognised = 106;   // Status command not recognised.
constexpr std::int32_t kStatusFault = 107;           // Status command failed.
constexpr std::int32_t kBankOutOfRange = 108;        // Flash bank address out of range.
constexpr std::int32_t kBankNotRecognised = 109;     // Read flash bank command not recognised.
constexpr std::int32_t kBankNoData = 110;            // Read flash bank data not received.
constexpr std::int32_t kBankFault = 111;             // Read flash bank command failed.
constexpr std::int32_t kReadAllFault = 112;          // Read all flash bank command failed.
constexpr std::int32_t kReadByteOutOfRange = 113;    // Read individual address out of range.
constexpr std::int32_t kReadByteNotRecognised =
    114;                                      // Read individual address command not recognised.
constexpr std::int32_t kReadByteFault = 115;  // Read individual address command failed.
constexpr std::int32_t kWriteByteOutOfRange = 116;  // Write individual address out of range.
constexpr std::int32_t kWriteByteNotRecognised =
    117;                                        // Write individual address command not recognised.
constexpr std::int32_t kWriteByteNoData = 118;  // Write individual address data not received.
constexpr std::int32_t kWriteByteNotWritten =
    119;  // Write individual address data failed to write.
constexpr std::int32_t kWriteByteWriteFailed = 120;  // Write individual address write failed.
constexpr std::int32_t kWriteByteFault = 121;        // Write individual address command failed.
constexpr std::int32_t kBlockOutOfRange = 122;       // Read block address out of range.
constexpr std::int32_t kBlockNotRecognised = 123;    // Read block address command not recognised.
constexpr std::int32_t kBlockNextNotRecognised =
    124;  // Read block address secondary command not recognised.
constexpr std::int32_t kBlockExitNotRecognised =
    125;                                   // Read block address exit command not recognised.
constexpr std::int32_t kBlockFault = 126;  // Read block address command failed.
constexpr std::int32_t kReceiveNotRecognised = 127;  // Read receive buffer command not recognised.
constexpr std::int32_t kReceiveNoData = 128;         // Read receive buffer data not received.
constexpr std::int32_t kReceiveFault = 129;          // Read receive buffer command failed.
constexpr std::int32_t kClearNotRecognised = 130;    // Clear flash memory command not recognised.
constexpr std::int32_t kClearFault = 131;            // Clear flash memory command failed.
constexpr std::int32_t kRewriteNotRecognised = 132;  // Rewrite flash memory command not recognised.
constexpr std::int32_t kRewriteFault = 133;          // Rewrite flash memory command failed.
constexpr std::int32_t kInterpreterNotRecognised =
    134;  // Execute interpreter command not recognised.
constexpr std::int32_t kPowerdownNotRecognised = 135;  // Power down command not recognised.
constexpr std::int32_t kFlashLedsNotRecognised = 136;  // Flash LEDs command not recognised.
constexpr std::int32_t kPrimaryNotRecognised =
    137;                                      // Read primary flash buffer command not recognised.
constexpr std::int32_t kPrimaryNoData = 138;  // Read primary flash buffer data not received.
constexpr std::int32_t kPrimaryFault = 139;   // Read primary flash buffer command failed.
constexpr std::int32_t kSecondaryNotRecognised =
    140;  // Read secondary flash buffer command not recognised.
constexpr std::int32_t kSecondaryNoData = 141;  // Read secondary flash buffer data not received.
constexpr std::int32_t kSecondaryFault = 142;   // Read secondary flash buffer command failed.
constexpr std::int32_t kNoAck = 143;            // Download binary data acknowledge not received.
constexpr std::int32_t kNoStart = 144;          // Download binary data command not recognised.
constexpr std::int32_t kTransferFailed = 145;   // Download binary data command failed
constexpr std::int32_t kFileMissing = 146;      // File does not exist.
constexpr std::int32_t kFolderMissing = 147;    // File path does not exist.

}  // namespace errnum
