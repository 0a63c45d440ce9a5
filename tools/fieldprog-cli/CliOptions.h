#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class Command {
    Download,
    Info,
    ReadBack,
    Read,
    Peek,
    Poke,
    Clear,
    Rewrite,
    Buffers,
    Leds,
    PowerDown,
    Interpreter,
    Verify,
    Ports,
    Help,
    Version,
};

// One subcommand as the help text and the parser see it.
struct CommandInfo {
    Command command;
    const char* name;
    int minArgs;
    int maxArgs;
    const char* synopsis;
    const char* summary;
    const char* example;
};

const std::vector<CommandInfo>& CommandTable();

// One port as the command line names it: a device ("/dev/ttyUSB0", "COM7") or a COM number.
struct PortName {
    std::string device;
    int com = 0;

    // How the user named it, for messages before the port is opened.
    std::string Label() const { return device.empty() ? "COM " + std::to_string(com) : device; }
};

struct CliOptions {
    Command command = Command::Download;
    std::string commandName = "download";
    std::vector<std::string> args;  // the subcommand's own arguments

    // --port (any number of times) and --com N[,N...]; none given means COM 1. More than one
    // port is a programming station: one device at a time on each port, all at once.
    std::vector<PortName> ports;
    int waitSeconds = 50;  // --wait: how long to wait for the device's button; 0 = no limit

    std::string imagePath;    // --image
    std::string payloadPath;  // --payload
    std::string logPath;      // --log
    int count = 1;            // --count
    bool endless = false;     // --endless

    bool force = false;  // --force (read-back)
    bool json = false;   // --json (info, ports)
};

// Fills `options` from the command line; false with a one-line reason on bad usage.
bool ParseCommandLine(const std::vector<std::string>& argv, CliOptions& options,
                      std::string& error);

enum class HexResult { Ok, NotHex, TooLarge };

// A hexadecimal number written as "1A2B" or "0x1A2B" (either case). Values above FFFFFFFFh
// come back as TooLarge rather than wrapping.
HexResult ParseHexNumber(const std::string& text, std::uint32_t& value);
