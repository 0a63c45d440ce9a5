#pragma once

#include <cstdint>

// Process exit codes. Scripts on the production line branch on these, so the numbers are
// part of the tool's interface and never change meaning.
namespace exitcode {

constexpr int kOk = 0;
constexpr int kDiffers = 1;          // verify: the device's flash differs from the image
constexpr int kBadInput = 2;         // bad arguments, unreadable or unusable image, file exists
constexpr int kPortError = 3;        // the port does not exist or cannot be opened or set up
constexpr int kPortBusy = 4;         // the port is held by another program
constexpr int kNoDevice = 5;         // no device answered within the wait (not connected)
constexpr int kClearFailed = 6;      // download: clearing the flash failed
constexpr int kTransferFailed = 7;   // download: the binary transfer failed
constexpr int kNotRecognised = 8;    // the device did not accept a command
constexpr int kNoData = 9;           // the device accepted a command but its data did not come
constexpr int kOutOfRange = 10;      // an address, bank or value outside what the device takes
constexpr int kFault = 11;           // an unexpected failure inside an operation
constexpr int kSomeFailed = 12;      // several ports or --endless: some failed, others worked
constexpr int kNoneProgrammed = 13;  // several ports: not one device was programmed
constexpr int kRecordsMissing = 14;  // --log: some records never reached the file (see stderr)
constexpr int kInterrupted = 130;    // Ctrl-C (128 + SIGINT); SIGTERM gives 143

// The class of a device error number, as an exit code. 0 (a failure that recorded no
// number) counts as a fault.
int ForErrorNumber(std::int32_t number);

}  // namespace exitcode
