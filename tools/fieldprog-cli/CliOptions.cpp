#include "CliOptions.h"

#include <cctype>
#include <climits>
#include <cstdlib>

namespace {

const std::vector<CommandInfo> kCommands = {
    {Command::Download, "download", 0, 0, "download [--image FILE.BIN | --payload DOWNLOADER]",
     "program devices one after the other (the default job)",
     "fieldprog-cli download --port /dev/ttyUSB0 --image FIRMWARE.BIN --count 5"},
    {Command::Info, "info", 0, 0, "info [--json]",
     "version fields, status register, flash pages and program name",
     "fieldprog-cli info --com 1 --json"},
    {Command::ReadBack, "read-back", 1, 1, "read-back FILE [--force]",
     "read the programmed image back from the flash into a .BIN file",
     "fieldprog-cli read-back --port /dev/ttyUSB0 backup.BIN"},
    {Command::Read, "read", 1, 1, "read BANK", "show one flash bank (bank number in hex)",
     "fieldprog-cli read --port /dev/ttyUSB0 0x1F"},
    {Command::Peek, "peek", 1, 2, "peek ADDRESS [COUNT]",
     "read one byte, or COUNT bytes from ADDRESS on (hex)",
     "fieldprog-cli peek --port /dev/ttyUSB0 0x1A2B 0x10"},
    {Command::Poke, "poke", 2, 2, "poke ADDRESS VALUE", "write one byte (hex) at ADDRESS (hex)",
     "fieldprog-cli poke --port /dev/ttyUSB0 0x1A2B 5C"},
    {Command::Clear, "clear", 0, 0, "clear", "erase the whole flash",
     "fieldprog-cli clear --port /dev/ttyUSB0"},
    {Command::Rewrite, "rewrite", 0, 0, "rewrite", "rewrite the flash from the device's RAM",
     "fieldprog-cli rewrite --port /dev/ttyUSB0"},
    {Command::Buffers, "buffers", 0, 0, "buffers", "show the three RAM buffers as hex",
     "fieldprog-cli buffers --port /dev/ttyUSB0"},
    {Command::Leds, "leds", 0, 0, "leds", "flash the device's LEDs",
     "fieldprog-cli leds --port /dev/ttyUSB0"},
    {Command::PowerDown, "power-down", 0, 0, "power-down", "switch the device off",
     "fieldprog-cli power-down --port /dev/ttyUSB0"},
    {Command::Interpreter, "interpreter", 0, 0, "interpreter", "start the device's interpreter",
     "fieldprog-cli interpreter --port /dev/ttyUSB0"},
    {Command::Verify, "verify", 1, 1, "verify FILE",
     "compare the flash with a .BIN file or a downloader's payload",
     "fieldprog-cli verify --port /dev/ttyUSB0 FIRMWARE.BIN"},
    {Command::Ports, "ports", 0, 0, "ports [--json]",
     "list the ports the window offers and the one it preselects, with why",
     "fieldprog-cli ports --json"},
    {Command::Help, "help", 0, 0, "help", "this text", "fieldprog-cli help"},
    {Command::Version, "version", 0, 0, "version", "the program's version",
     "fieldprog-cli version"},
};

const CommandInfo* FindCommand(const std::string& name) {
    for (const CommandInfo& info : kCommands) {
        if (name == info.name) return &info;
    }
    return nullptr;
}

bool ParseDecimal(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 9) return false;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    const long parsed = std::strtol(text.c_str(), nullptr, 10);
    if (parsed < low || parsed > high) return false;
    value = static_cast<int>(parsed);
    return true;
}

}  // namespace

const std::vector<CommandInfo>& CommandTable() {
    return kCommands;
}

HexResult ParseHexNumber(const std::string& text, std::uint32_t& value) {
    std::size_t start = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) start = 2;
    if (start >= text.size()) return HexResult::NotHex;
    std::uint64_t parsed = 0;
    bool tooLarge = false;
    for (std::size_t k = start; k < text.size(); ++k) {
        const auto c = static_cast<unsigned char>(text[k]);
        if (!std::isxdigit(c)) return HexResult::NotHex;
        const int digit = std::isdigit(c) ? c - '0' : std::toupper(c) - 'A' + 10;
        parsed = parsed * 16 + static_cast<std::uint64_t>(digit);
        // Keep reading to reject stray characters, but stop growing before the value wraps.
        if (parsed > 0xFFFFFFFFull) {
            tooLarge = true;
            parsed = 0x100000000ull;
        }
    }
    if (tooLarge) return HexResult::TooLarge;
    value = static_cast<std::uint32_t>(parsed);
    return HexResult::Ok;
}

namespace {
// COM numbers are the system's own; beyond this no machine has ports.
constexpr int kLargestCom = 256;
}  // namespace

bool ParseCommandLine(const std::vector<std::string>& argv, CliOptions& options,
                      std::string& error) {
    bool commandSeen = false;
    bool portSeen = false;
    bool comSeen = false;
    bool downloadOptionSeen = false;
    bool countGiven = false;
    std::string downloadOptionName;

    for (std::size_t i = 1; i < argv.size(); ++i) {
        std::string arg = argv[i];
        std::string inlineValue;
        bool hasInlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            const std::size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInlineValue = true;
            }
        }
        // The value of an option: "--name=value" or the next argument.
        auto takeValue = [&](std::string& out) {
            if (hasInlineValue) {
                out = inlineValue;
                return true;
            }
            if (i + 1 >= argv.size()) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto noValue = [&]() {
            if (hasInlineValue) error = arg + " takes no value";
            return !hasInlineValue;
        };
        std::string value;

        if (arg == "--help" || arg == "-h") {
            options.command = Command::Help;
            options.commandName = "help";
            return true;
        } else if (arg == "--version") {
            options.command = Command::Version;
            options.commandName = "version";
            return true;
        } else if (arg == "--port") {
            PortName port;
            if (!takeValue(port.device)) return false;
            if (port.device.empty()) {
                error = "--port needs a device path";
                return false;
            }
            options.ports.push_back(port);
            portSeen = true;
        } else if (arg == "--com") {
            if (!takeValue(value)) return false;
            std::size_t from = 0;
            for (;;) {
                const std::size_t comma = value.find(',', from);
                PortName port;
                if (!ParseDecimal(value.substr(from, comma - from), 1, kLargestCom, port.com)) {
                    error = "--com takes port numbers from 1 to " + std::to_string(kLargestCom) +
                            ", separated by commas";
                    return false;
                }
                options.ports.push_back(port);
                if (comma == std::string::npos) break;
                from = comma + 1;
            }
            comSeen = true;
        } else if (arg == "--wait") {
            if (!takeValue(value)) return false;
            // Each second is twenty polling rounds, and the link counts rounds in 16 bits.
            if (!ParseDecimal(value, 0, 1600, options.waitSeconds)) {
                error = "--wait takes whole seconds from 0 (no limit) to 1600";
                return false;
            }
        } else if (arg == "--image" || arg == "--payload" || arg == "--log") {
            std::string& target = arg == "--image"     ? options.imagePath
                                  : arg == "--payload" ? options.payloadPath
                                                       : options.logPath;
            if (!takeValue(target)) return false;
            if (target.empty()) {
                error = arg + " needs a file name";
                return false;
            }
            downloadOptionSeen = true;
            downloadOptionName = arg;
        } else if (arg == "--count") {
            if (!takeValue(value)) return false;
            if (!ParseDecimal(value, 1, 1000000, options.count)) {
                error = "--count takes a number of devices from 1 on";
                return false;
            }
            countGiven = true;
            downloadOptionSeen = true;
            downloadOptionName = arg;
        } else if (arg == "--endless") {
            if (!noValue()) return false;
            options.endless = true;
            downloadOptionSeen = true;
            downloadOptionName = arg;
        } else if (arg == "--force") {
            if (!noValue()) return false;
            options.force = true;
        } else if (arg == "--json") {
            if (!noValue()) return false;
            options.json = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            // A negative number is a value out of range, not an option: let the
            // subcommand refuse it with its own message.
            const bool negativeNumber =
                commandSeen && std::isxdigit(static_cast<unsigned char>(arg[1]));
            if (!negativeNumber) {
                error = "unknown option " + arg;
                return false;
            }
            options.args.push_back(arg);
        } else if (!commandSeen) {
            const CommandInfo* info = FindCommand(arg);
            if (info == nullptr) {
                error = "unknown subcommand \"" + arg + "\"";
                return false;
            }
            options.command = info->command;
            options.commandName = info->name;
            commandSeen = true;
        } else {
            options.args.push_back(arg);
        }
    }

    const CommandInfo* info = FindCommand(options.commandName);
    const int argCount = static_cast<int>(options.args.size());
    if (argCount < info->minArgs || argCount > info->maxArgs) {
        error = std::string("usage: fieldprog-cli ") + info->synopsis;
        return false;
    }
    if (options.command != Command::Download && downloadOptionSeen) {
        // verify reads its image from its own argument.
        error = downloadOptionName + " belongs to the download job, not to " + info->name;
        return false;
    }
    if (!options.imagePath.empty() && !options.payloadPath.empty()) {
        error = "give either --image or --payload, not both";
        return false;
    }
    if (options.endless && countGiven) {
        error = "give either --count or --endless, not both";
        return false;
    }
    if (portSeen && comSeen) {
        error = "give either --port or --com, not both";
        return false;
    }
    for (std::size_t i = 0; i < options.ports.size(); ++i) {
        for (std::size_t k = 0; k < i; ++k) {
            if (options.ports[i].device == options.ports[k].device &&
                options.ports[i].com == options.ports[k].com) {
                error = options.ports[i].Label() + " is given twice";
                return false;
            }
        }
    }
    if (options.ports.size() > 1 && options.command != Command::Download) {
        error = "several ports are for the download job; " + std::string(info->name) + " takes one";
        return false;
    }
    if (options.ports.empty()) options.ports.push_back(PortName{"", 1});
    if (options.force && options.command != Command::ReadBack) {
        error = "--force belongs to read-back";
        return false;
    }
    if ((portSeen || comSeen) && options.command == Command::Ports) {
        error = "ports lists every port; it takes no --port or --com";
        return false;
    }
    if (options.json && options.command != Command::Info && options.command != Command::Ports) {
        error = "--json belongs to info and ports";
        return false;
    }
    return true;
}
