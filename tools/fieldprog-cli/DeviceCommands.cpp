#include "DeviceCommands.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "BinFile.h"
#include "CliOptions.h"
#include "Console.h"
#include "ErrorNumbers.h"
#include "ExitCodes.h"
#include "FileSystem.h"
#include "ImageSource.h"
#include "PortSession.h"
#include "StringTable.h"
#include "TextIds.h"
#include "clsError.h"
#include "clsFPBuffers.h"
#include "clsFPDetails.h"
#include "clsFPMemory.h"
#include "clsFPMisc.h"

namespace {

constexpr std::uint32_t kMaxBank = 0xFFFF;       // bank numbers travel as 4 hex digits
constexpr std::uint32_t kMaxAddress = 0xFFFFFF;  // byte addresses travel as 6 hex digits
constexpr std::uint32_t kMaxByte = 0xFF;
constexpr std::uint32_t kMaxPeekCount = 0x10000;  // bytes per peek; each costs a round trip
constexpr std::size_t kBytesPerRow = 16;

// What a subcommand needs once its arguments are checked.
struct Request {
    std::uint32_t number = 0;  // bank or address
    std::uint32_t count = 0;   // peek: bytes to read; 0 = a single byte
    std::string value;         // poke: two upper-case hex digits
    std::string path;          // read-back, verify
    FlashImage image;          // verify
    bool force = false;        // read-back: overwrite an existing file
};

std::string Hex(std::uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

// Rows of sixteen values, each row led by the address of its first value.
void PrintRows(Console& console, const std::vector<std::string>& values, std::uint32_t base,
               int addressDigits) {
    for (std::size_t row = 0; row < values.size(); row += kBytesPerRow) {
        std::string line = Hex(base + static_cast<std::uint32_t>(row), addressDigits) + ":";
        for (std::size_t k = row; k < std::min(values.size(), row + kBytesPerRow); ++k) {
            line += " " + values[k];
        }
        console.Result(line);
    }
}

// The items of a buffer without the spare last entry the device object keeps after them.
std::vector<std::uint8_t> WithoutSpare(std::vector<std::uint8_t> bytes) {
    if (!bytes.empty()) bytes.pop_back();
    return bytes;
}

int Refuse(Console& console, std::int32_t number) {
    console.Error(LoadResString(number) + " (error " + std::to_string(number) + ")");
    return exitcode::ForErrorNumber(number);
}

// A hexadecimal argument no larger than `max`; otherwise the exit code, already reported.
int ParseBounded(Console& console, const std::string& text, const char* what, std::uint32_t max,
                 std::int32_t outOfRange, std::uint32_t& value) {
    const bool negative = !text.empty() && text[0] == '-';
    const HexResult parsed = negative ? HexResult::TooLarge : ParseHexNumber(text, value);
    if (parsed == HexResult::NotHex) {
        console.Error(std::string(what) + " \"" + text + "\" is not a hexadecimal number");
        return exitcode::kBadInput;
    }
    if (parsed == HexResult::TooLarge || value > max) return Refuse(console, outOfRange);
    return exitcode::kOk;
}

bool FolderExists(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return FileSystem::IsDirectory(slash == std::string::npos ? "." : path.substr(0, slash + 1));
}

// Everything that can be refused is refused here, before the port is even opened.
int Prepare(const CliOptions& options, Console& console, Request& request) {
    const auto& args = options.args;
    switch (options.command) {
        case Command::Read:
            return ParseBounded(console, args[0], "BANK", kMaxBank, errnum::kBankOutOfRange,
                                request.number);
        case Command::Peek: {
            const std::int32_t outOfRange =
                args.size() > 1 ? errnum::kBlockOutOfRange : errnum::kReadByteOutOfRange;
            if (int code = ParseBounded(console, args[0], "ADDRESS", kMaxAddress, outOfRange,
                                        request.number);
                code != exitcode::kOk) {
                return code;
            }
            if (args.size() > 1) {
                if (int code = ParseBounded(console, args[1], "COUNT", kMaxPeekCount,
                                            errnum::kBlockOutOfRange, request.count);
                    code != exitcode::kOk) {
                    return code;
                }
                if (request.count == 0) {
                    console.Error("COUNT must be at least 1");
                    return exitcode::kBadInput;
                }
                // The device would wrap round past its last address; refuse instead.
                if (request.number + request.count - 1 > kMaxAddress) {
                    return Refuse(console, errnum::kBlockOutOfRange);
                }
            }
            return exitcode::kOk;
        }
        case Command::Poke: {
            if (int code = ParseBounded(console, args[0], "ADDRESS", kMaxAddress,
                                        errnum::kWriteByteOutOfRange, request.number);
                code != exitcode::kOk) {
                return code;
            }
            std::uint32_t value = 0;
            if (int code = ParseBounded(console, args[1], "VALUE", kMaxByte,
                                        errnum::kWriteByteOutOfRange, value);
                code != exitcode::kOk) {
                return code;
            }
            request.value = Hex(value, 2);
            return exitcode::kOk;
        }
        case Command::ReadBack:
            request.path = args[0];
            request.force = options.force;
            if (!FolderExists(request.path)) return Refuse(console, errnum::kFolderMissing);
            if (!options.force && FileSystem::IsRegularFile(request.path)) {
                console.Error(request.path + " exists; give --force to overwrite it");
                return exitcode::kBadInput;
            }
            return exitcode::kOk;
        case Command::Verify: {
            request.path = args[0];
            std::string error;
            if (!LoadAnyImage(request.path, request.image, error)) {
                console.Error(error);
                return exitcode::kBadInput;
            }
            const std::string problem = binfile::Problem(request.image.bytes);
            if (!problem.empty()) {
                console.Error(request.path + ": " + problem);
                return exitcode::kBadInput;
            }
            return exitcode::kOk;
        }
        default:
            return exitcode::kOk;
    }
}

// ---- the operations, each run after the device has answered ----

class Operation {
  public:
    Operation(Console& console, PortSession& session, const Request& request)
        : console_(console), session_(session), device_(session.Device()), request_(request) {}

    // The device object's failure: its error record, and the exit code of its class.
    int Failed(const std::string& what) {
        if (interrupt::Received() != 0) return interrupt::ExitCode();
        console_.DeviceError(what, device_.LastError().Number(), device_.LastError().Message());
        return exitcode::ForErrorNumber(device_.LastError().Number());
    }

    int Info(bool json);
    int ReadBack();
    int ReadBank();
    int Peek();
    int Poke();
    int Clear(bool rewrite);
    int Buffers();
    int Misc(Command command);
    int Verify();

  private:
    Console& console_;
    PortSession& session_;
    clsFieldProgrammer& device_;
    const Request& request_;
};

std::string Shown(const std::string& text) {
    return text.empty() ? "(not reported)" : text;
}

// The program name is raw bytes from the flash: printable ASCII as it is, the rest escaped.
std::string Printable(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        if (code >= 32 && code < 127 && c != '\\') {
            text += c;
        } else {
            text += "\\x" + Hex(code, 2);
        }
    }
    return text;
}

std::string JsonString(const std::string& bytes) {
    std::string text = "\"";
    for (const char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (code >= 32 && code < 127) {
            text += c;
        } else {
            // Bytes are not text in any known encoding: give each its own code point.
            text += "\\u00" + Hex(code, 2);
        }
    }
    return text + "\"";
}

int Operation::Info(bool json) {
    clsFPDetails& details = device_.Details();
    if (!details.GetFPVersion()) return Failed("Reading the version failed");
    if (!details.GetFPStatusRegister()) return Failed("Reading the status register failed");
    const bool named = details.ReadProgramName();
    if (interrupt::Received() != 0) return interrupt::ExitCode();
    // No marker in the flash is an answer, not a failure; a failed bank read or a fault in the
    // search is a failure.
    if (!named && (device_.LastError().Number() != 0 || details.SearchFaulted())) {
        return Failed("Reading the program name failed");
    }
    console_.EndProgress();

    const std::string pages = details.FlashPages();
    std::uint32_t banks = 0;
    const bool banksKnown = !pages.empty() && ParseHexNumber(pages, banks) == HexResult::Ok;

    if (json) {
        console_.Result(
            "{\"port\":" + JsonString(session_.PortLabel()) +
            ",\"software_version\":" + JsonString(details.SoftwareVersion()) +
            ",\"software_revision\":" + JsonString(details.SoftwareRevision()) +
            ",\"development_revision\":" + JsonString(details.SoftwareDevelopmentRev()) +
            ",\"qualification_revision\":" + JsonString(details.SoftwareQualificationRev()) +
            ",\"status_register\":" + JsonString(details.StatusRegister()) +
            ",\"flash_pages\":" + JsonString(pages) +
            ",\"flash_banks\":" + (banksKnown ? std::to_string(banks) : "null") +
            ",\"program_name\":" + (named ? JsonString(details.ProgramName()) : "null") + "}");
        return exitcode::kOk;
    }
    console_.Result("Port:                    " + session_.PortLabel());
    console_.Result("Software version:        " + Shown(details.SoftwareVersion()));
    console_.Result("Software revision:       " + Shown(details.SoftwareRevision()));
    console_.Result("Development revision:    " + Shown(details.SoftwareDevelopmentRev()));
    console_.Result("Qualification revision:  " + Shown(details.SoftwareQualificationRev()));
    console_.Result("Status register:         " + Shown(details.StatusRegister()));
    console_.Result("Flash pages:             " + Shown(pages) +
                    (banksKnown ? " (" + std::to_string(banks) + " banks)" : ""));
    console_.Result("Program name:            " +
                    (named ? Printable(details.ProgramName()) : std::string("none found")));
    return exitcode::kOk;
}

int Operation::ReadBack() {
    clsFPMemory& memory = device_.Memory();
    if (!memory.ReadAllFlashBankAddrs()) return Failed("Reading the flash back failed");
    console_.EndProgress();
    const std::vector<std::uint8_t> image = memory.AllFlashBankData();
    if (FileSystem::IsRegularFile(request_.path) && !request_.force) {
        console_.Error(request_.path + " appeared while reading; not overwritten");
        return exitcode::kBadInput;
    }
    if (!memory.SaveBinaryFile(request_.path)) {
        if (device_.LastError().Number() != 0) return Failed(request_.path + " not written");
        console_.Error(request_.path + ": could not be written");
        return exitcode::kFault;
    }
    console_.Result("Read back " + std::to_string(binfile::DataCount(image)) + " data bytes into " +
                    request_.path + " (" + std::to_string(image.size()) + " bytes, CRC-16 " +
                    ImageCrcText(image) + ")");
    return exitcode::kOk;
}

int Operation::ReadBank() {
    std::string text;
    if (!device_.Memory().ReadFlashBankAddr(static_cast<std::int32_t>(request_.number), text)) {
        return Failed("Reading bank " + Hex(request_.number, 4) + " failed");
    }
    std::vector<std::string> values;
    std::string piece;
    for (const char c : text + " ") {
        if (c == ' ' || c == '\r' || c == '\n') {
            if (!piece.empty()) values.push_back(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    console_.Result("Bank " + Hex(request_.number, 4) + " (" + std::to_string(values.size()) +
                    " bytes):");
    PrintRows(console_, values, 0, 4);
    return exitcode::kOk;
}

int Operation::Peek() {
    const auto address = static_cast<std::int32_t>(request_.number);
    if (request_.count == 0) {
        std::string value;
        if (!device_.Memory().ReadIndividualAddress(address, value)) {
            return Failed("Reading address " + Hex(request_.number, 6) + " failed");
        }
        console_.Result(Hex(request_.number, 6) + ": " + value);
        return exitcode::kOk;
    }
    std::vector<std::string> values;
    // The block read takes the start byte and then as many bytes again as its size says.
    if (!device_.Memory().ReadBlockAddress(address, static_cast<std::int32_t>(request_.count - 1),
                                           values)) {
        return Failed("Reading from address " + Hex(request_.number, 6) + " failed");
    }
    console_.EndProgress();
    if (values.size() > request_.count) values.resize(request_.count);
    PrintRows(console_, values, request_.number, 6);
    return exitcode::kOk;
}

int Operation::Poke() {
    std::string value = request_.value;
    if (!device_.Memory().WriteIndividualAddress(static_cast<std::int32_t>(request_.number),
                                                 value)) {
        return Failed("Writing address " + Hex(request_.number, 6) + " failed");
    }
    console_.Result(Hex(request_.number, 6) + " <- " + value);
    return exitcode::kOk;
}

int Operation::Clear(bool rewrite) {
    clsFPMemory& memory = device_.Memory();
    const bool done = rewrite ? memory.ReWriteFlashMemory() : memory.ClearFlashMemory();
    if (!done) return Failed(rewrite ? "Rewriting the flash failed" : "Clearing the flash failed");
    if (interrupt::Received() != 0) return interrupt::ExitCode();
    console_.Result(rewrite ? "Flash rewritten." : "Flash cleared.");
    return exitcode::kOk;
}

int Operation::Buffers() {
    clsFPBuffers& buffers = device_.Buffers();
    struct Entry {
        const char* label;
        std::function<bool()> read;
        std::function<std::vector<std::uint8_t>()> get;
    };
    const Entry entries[] = {
        {"Internal receive buffer", [&] { return buffers.ReadInternalReceiveBuffer(); },
         [&] { return buffers.InternalReceiveBuffer(); }},
        {"Primary flash RAM buffer", [&] { return buffers.ReadPrimaryFlashRAMBuffer(); },
         [&] { return buffers.PrimaryFlashRAMBuffer(); }},
        {"Secondary flash RAM buffer", [&] { return buffers.ReadSecondaryFlashRAMBuffer(); },
         [&] { return buffers.SecondaryFlashRAMBuffer(); }},
    };
    for (const Entry& entry : entries) {
        if (!entry.read()) return Failed(std::string("Reading the ") + entry.label + " failed");
        const std::vector<std::uint8_t> bytes = WithoutSpare(entry.get());
        console_.Result(std::string(entry.label) + " (" + std::to_string(bytes.size()) +
                        " bytes):");
        std::vector<std::string> values;
        for (const std::uint8_t b : bytes) values.push_back(Hex(b, 2));
        PrintRows(console_, values, 0, 4);
    }
    return exitcode::kOk;
}

int Operation::Misc(Command command) {
    clsFPMisc& misc = device_.Misc();
    switch (command) {
        case Command::Leds:
            if (!misc.FlashFPLEDs()) return Failed("Flashing the LEDs failed");
            console_.Result("LEDs flashed.");
            break;
        case Command::PowerDown:
            if (!misc.PowerdownFP()) return Failed("Powering down failed");
            console_.Result("Powered down.");
            break;
        default:
            if (!misc.ExecuteInterpreter()) return Failed("Starting the interpreter failed");
            console_.Result("Interpreter started.");
            break;
    }
    return exitcode::kOk;
}

int Operation::Verify() {
    clsFPMemory& memory = device_.Memory();
    if (!memory.ReadAllFlashBankAddrs()) return Failed("Reading the flash back failed");
    console_.EndProgress();
    const std::vector<std::uint8_t> onDevice = binfile::FlashData(memory.AllFlashBankData());
    const std::vector<std::uint8_t> expected = binfile::FlashData(request_.image.bytes);

    // Beyond the end of either side the flash is erased, so both read as FFh there.
    const std::size_t length = std::max(onDevice.size(), expected.size());
    std::size_t differing = 0;
    std::size_t first = 0;
    for (std::size_t k = 0; k < length; ++k) {
        const std::uint8_t a = k < onDevice.size() ? onDevice[k] : 0xFF;
        const std::uint8_t b = k < expected.size() ? expected[k] : 0xFF;
        if (a != b) {
            if (differing == 0) first = k;
            ++differing;
        }
    }
    const std::string sizes = "the flash holds " + std::to_string(onDevice.size()) +
                              " data bytes, " + request_.path + " " +
                              std::to_string(expected.size());
    if (differing == 0) {
        console_.Result("Equal: " + sizes + " (image CRC-16 " + ImageCrcText(request_.image.bytes) +
                        ")");
        return exitcode::kOk;
    }
    const auto at = static_cast<std::uint32_t>(first);
    const std::uint8_t a = first < onDevice.size() ? onDevice[first] : 0xFF;
    const std::uint8_t b = first < expected.size() ? expected[first] : 0xFF;
    console_.Result("Differs: " + std::to_string(differing) +
                    " byte(s) differ, the first at flash address 0x" + Hex(at, 6) +
                    " (image offset 0x" +
                    Hex(at + static_cast<std::uint32_t>(binfile::kHeaderBytes), 6) + "): device " +
                    Hex(a, 2) + ", image " + Hex(b, 2) + "; " + sizes);
    return exitcode::kDiffers;
}

}  // namespace

int RunDeviceCommand(const CliOptions& options, Console& console) {
    // Status texts follow this program's own record when it carries one.
    FlashImage own;
    std::string ignored;
    if (LoadPayloadImage("", own, ignored) && own.hasLanguage) console.Language(own.language);

    Request request;
    if (const int code = Prepare(options, console, request); code != exitcode::kOk) return code;

    PortSession session(console);
    if (const int code = session.Open(options); code != exitcode::kOk) return code;
    clsFieldProgrammer& device = session.Device();
    device.Progress = [&console](std::int16_t percent, std::int32_t type) {
        console.Progress(percent, type);
    };

    console.Status(console.Text(textid::kPressButton));
    if (!session.WaitForButton(options.waitSeconds)) {
        if (interrupt::Received() != 0) {
            console.Status("Interrupted.");
            return interrupt::ExitCode();
        }
        console.Status(console.Text(textid::kNoConnection));
        console.DeviceError("No device", device.LastError().Number(), device.LastError().Message());
        return exitcode::kNoDevice;
    }

    Operation operation(console, session, request);
    int code = exitcode::kFault;
    try {
        switch (options.command) {
            case Command::Info:
                code = operation.Info(options.json);
                break;
            case Command::ReadBack:
                code = operation.ReadBack();
                break;
            case Command::Read:
                code = operation.ReadBank();
                break;
            case Command::Peek:
                code = operation.Peek();
                break;
            case Command::Poke:
                code = operation.Poke();
                break;
            case Command::Clear:
                code = operation.Clear(false);
                break;
            case Command::Rewrite:
                code = operation.Clear(true);
                break;
            case Command::Buffers:
                code = operation.Buffers();
                break;
            case Command::Verify:
                code = operation.Verify();
                break;
            case Command::Leds:
            case Command::PowerDown:
            case Command::Interpreter:
                code = operation.Misc(options.command);
                break;
            default:
                break;
        }
    } catch (const std::exception& fault) {
        // Only the one-word commands let the link's exceptions through.
        console.Error(std::string("unexpected failure: ") + fault.what());
        code = exitcode::kFault;
    }
    console.EndProgress();
    if (interrupt::Received() != 0) {
        console.Status("Interrupted.");
        return interrupt::ExitCode();
    }
    return code;
}
