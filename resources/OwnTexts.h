#pragma once

#include <initializer_list>
#include <string>

// Texts this downloader shows beyond the string table (port notes, the .BIN rule, the port
// list), in the same three languages. A language is given as the string table's offset:
// 0 English, 100 French, 200 German; any other value gives English.
namespace owntext {

enum Id {
    kPortBusy,            // %1 is busy: held by %2
    kAnotherProgram,      // the holder when the system cannot name it
    kNoSuchDevice,        // %1: no such device
    kComMapsToNothing,    // COM %1 maps to no serial device
    kNotSerial,           // %1 is not a serial device
    kPermissionDenied,    // %1: permission denied
    kJoinGroup,           // how to get access through group %1
    kAskAdministrator,    // how to get access without a group
    kCannotBeOpened,      // %1 cannot be opened
    kNotAnswering,        // %1 is not answering (its open did not end in time)
    kThePort,             // the name of a port that has none
    kSerialPortFallback,  // under a free port that has no friendly name
    kNoDevice,            // under a COM number that maps to nothing
    kOtherPorts,          // the label above the ports beyond COM 4
    kBinTooShort,         // %1 bytes in all
    kBinNoData,
    kBinTruncated,       // %1 counted, %2 present
    kBinHeaderNotZero,   // warning
    kBinExtraBytes,      // warning: %1 extra bytes
    kDamagedDownloader,  // %1 is the .BIN rule's reason
    kCount
};

// The text in the given language.
std::string Text(Id id, int language = 0);
// The text with %1, %2 … replaced by the arguments in order.
std::string Format(Id id, int language, std::initializer_list<std::string> args);

}  // namespace owntext
