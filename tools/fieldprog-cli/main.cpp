// fieldprog-cli: the downloader without its window, for scripts, production lines and the
// bench. The default job programs devices one after the other exactly as the window does;
// the subcommands run single device commands.

#include <cstdio>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "Console.h"
#include "DeviceCommands.h"
#include "DownloadJob.h"
#include "ExitCodes.h"
#include "FileSystem.h"
#include "PortOpenService.h"
#include "PortSession.h"
#include "PortsCommand.h"
#include "Station.h"
#include "Terminal.h"
#include "Version.h"

namespace {

void PrintHelp() {
    std::string text =
        "Usage: fieldprog-cli [SUBCOMMAND] [OPTIONS] [ARGUMENTS]\n"
        "\n"
        "Loads a field-programmer binary file into Field Programmers over a serial port, and\n"
        "runs single device commands on the bench. Every device subcommand first waits for\n"
        "the button on the top of the Field Programmer, as the downloader window does.\n"
        "\n"
        "Subcommands:\n";
    for (const CommandInfo& info : CommandTable()) {
        text += std::string("  ") + info.synopsis + "\n      " + info.summary + "\n      e.g. " +
                info.example + "\n";
    }
    text +=
        "  With no subcommand the download job runs.\n"
        "\n"
        "Options:\n"
        "  --port PATH        serial device to use, e.g. /dev/ttyUSB0 or COM7; give it more\n"
        "                     than once to program on several ports at once (download only)\n"
        "  --com N[,N...]     COM port numbers, mapped as the window maps them (on Linux\n"
        "                     FIELDPROG_COM<N>, else USB-serial adaptors, then /dev/ttyS*);\n"
        "                     default COM 1; a list programs on all of them at once\n"
        "  --wait SECONDS     how long to wait for the device's button (default 50, 0 = no limit)\n"
        "  --image FILE.BIN   download: program this .BIN file\n"
        "  --payload FILE     download: program the binary file carried by this downloader\n"
        "                     (default: the one this program carries, if any)\n"
        "  --count N          download: program N devices one after the other (default 1);\n"
        "                     on several ports N is the total over all of them\n"
        "  --endless          download: keep programming devices until Ctrl-C; a failed device\n"
        "                     is reported and logged and the next one is awaited\n"
        "  --log FILE         download: append one line per device, tab-separated: UTC time,\n"
        "                     port, image name, image CRC-16, result, error number, error\n"
        "                     text, seconds, and 9th the Field Programmer's firmware version\n"
        "                     (its answer to \".V\"). Results: OK, NO-DEVICE, CLEAR-FAILED,\n"
        "                     TRANSFER-FAILED, INTERRUPTED, PORT-FAILED (a port not opened),\n"
        "                     PORT-LOST (a port that went away). A field that starts with\n"
        "                     = + - @ or \" gets a leading ' so spreadsheets take it as text.\n"
        "                     Each line is written under a file lock (waited for 5 s at most);\n"
        "                     a record not written is kept and tried again\n"
        "  --force            read-back: overwrite an existing file\n"
        "  --json             info, ports: print one JSON object\n"
        "  --help, --version\n"
        "\n"
        "Numbers: BANK, ADDRESS, COUNT and VALUE are hexadecimal (1A2B or 0x1A2B). Banks run\n"
        "to FFFF, addresses to FFFFFF, values to FF; anything larger is refused before the\n"
        "port is opened.\n"
        "\n"
        "Exit codes:\n"
        "    0  success (verify: the flash equals the image)\n"
        "    1  verify: the flash differs from the image\n"
        "    2  bad input: usage, unreadable or unusable image, file exists, folder missing\n"
        "    3  the port does not exist or cannot be opened\n"
        "    4  the port is busy (held by another program)\n"
        "    5  no device answered within the wait (not connected)\n"
        "    6  download: clearing the flash failed\n"
        "    7  download: the transfer failed\n"
        "    8  the device did not recognise a command\n"
        "    9  the device's data did not come (or did not read back)\n"
        "   10  out of range: bank, address or value the device cannot take\n"
        "   11  fault: an unexpected failure inside an operation\n"
        "   12  several ports, or one port with --endless: some devices failed or a port\n"
        "       went away, others were programmed\n"
        "   13  several ports: no device was programmed\n"
        "   14  --log: some records never reached the file (they are on standard error)\n"
        "  130  interrupted by Ctrl-C (143 for SIGTERM or a closed console); the port is\n"
        "       closed, nothing is left behind. A second Ctrl-C ends the program at once.\n"
        "  The worst thing that happened decides: 14, then a failure (12, 13, 3, 5, 6, 7),\n"
        "  then an interruption (130, 143).\n";
    std::fputs(text.c_str(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
    // Joins the port-opening threads before main returns.
    const PortOpenService::Owner portOpening;
    terminal::Prepare();
    // On Windows main() gets its arguments in the ANSI code page; paths must arrive whole.
    const std::vector<std::string> args = FileSystem::Arguments(argc, argv);
    CliOptions options;
    std::string error;
    Console console;
    if (!ParseCommandLine(args, options, error)) {
        console.Error(error);
        console.Error("try: fieldprog-cli --help");
        return exitcode::kBadInput;
    }
    switch (options.command) {
        case Command::Help:
            PrintHelp();
            return exitcode::kOk;
        case Command::Version:
            std::printf("fieldprog-cli %d.%d.%d\n", fieldprog_version::kMajor,
                        fieldprog_version::kMinor, fieldprog_version::kRevision);
            return exitcode::kOk;
        default:
            break;
    }
    if (options.command == Command::Ports) return RunPortsCommand(options, console);
    interrupt::Install();
    if (options.command == Command::Download) {
        return options.ports.size() > 1 ? RunStation(options, console)
                                        : RunDownloadJob(options, console);
    }
    return RunDeviceCommand(options, console);
}
