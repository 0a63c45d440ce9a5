#include "EmuOptions.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

#include "EmuCommandTable.h"

namespace {

constexpr long kMaxMs = 3600L * 1000;       // one hour: any longer pause is a typo
constexpr long kMaxFlashBytes = 0x1000000;  // six hex digits of byte address
constexpr long kMaxBankSize = 4096;         // bytes per bank

bool ParseLong(const std::string& text, int base, long low, long high, long& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, base);
    if (errno != 0 || end == nullptr || *end != '\0') return false;
    if (value < low || value > high) return false;
    out = value;
    return true;
}

// "C", ".C", "c" or "all" become the letters stored in a fault set.
bool ParseCommandSet(const std::string& text, std::string& set) {
    if (text == "all" || text == "*") {
        set += '*';
        return true;
    }
    std::string name = text;
    if (!name.empty() && name[0] == '.') name.erase(0, 1);
    // ".G1" and ".G2" share their letter.
    if (name.size() == 2 && (name[0] == 'G' || name[0] == 'g') &&
        (name[1] == '1' || name[1] == '2'))
        name.erase(1);
    if (name.size() != 1) return false;
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    if (!EmuCommandTable::Knows(letter)) return false;
    set += letter;
    return true;
}

}  // namespace

bool ParseEmuOptions(const std::vector<std::string>& args, EmuOptions& o, std::string& error) {
    using Setter = std::function<bool(const std::string&)>;
    auto number = [](int& field, long low, long high, int base = 10) {
        return Setter([&field, low, high, base](const std::string& v) {
            long n = 0;
            if (!ParseLong(v, base, low, high, n)) return false;
            field = static_cast<int>(n);
            return true;
        });
    };
    auto text = [](std::string& field) {
        return Setter([&field](const std::string& v) {
            field = v;
            return !v.empty();
        });
    };
    auto commands = [](std::string& field) {
        return Setter([&field](const std::string& v) { return ParseCommandSet(v, field); });
    };

    const std::map<std::string, Setter> withValue = {
        {"--baud", number(o.baud, 0, 4000000)},
        {"--reply-delay-ms", number(o.replyDelayMs, 0, kMaxMs)},
        {"--link", text(o.linkPath)},
        {"--unplug-ms", number(o.unplugMs, 0, kMaxMs)},
        {"--press-after-ms", number(o.pressAfterMs, -1, kMaxMs)},
        {"--devices", number(o.devices, 0, 1000000)},
        {"--next-device-ms", number(o.nextDeviceMs, 0, kMaxMs)},
        {"--fw-version", Setter([&o](const std::string& v) {
             for (const char c : v)
                 if (!std::isprint(static_cast<unsigned char>(c))) return false;
             o.fwVersion = v;
             return !v.empty() && v.size() <= 64;
         })},
        {"--status", Setter([&o](const std::string& v) {
             if (v.size() != 2 || !std::isdigit(static_cast<unsigned char>(v[0])) ||
                 !std::isdigit(static_cast<unsigned char>(v[1])))
                 return false;
             o.status = v;
             return true;
         })},
        {"--pages", number(o.pages, 1, 0xFFFF, 16)},
        {"--bank-size", number(o.bankSize, 1, kMaxBankSize)},
        {"--page-ms", number(o.pageMs, 0, 1000)},
        {"--eot-answer", Setter([&o](const std::string& v) {
             const std::map<std::string, EmuEotAnswer> answers = {{"echo", EmuEotAnswer::Echo},
                                                                  {"ack", EmuEotAnswer::Ack},
                                                                  {"none", EmuEotAnswer::None}};
             const auto found = answers.find(v);
             if (found != answers.end()) o.eotAnswer = found->second;
             return found != answers.end();
         })},
        {"--save-image", text(o.saveImagePath)},
        {"--expect", text(o.expectPath)},
        {"--no-echo", commands(o.noEcho)},
        {"--wrong-echo", commands(o.wrongEcho)},
        {"--refuse", commands(o.refuse)},
        {"--yn-prompt", commands(o.ynPrompt)},
        {"--nak-at", number(o.nakAt, 1, 1000000)},
        {"--no-ack-at", number(o.noAckAt, 1, 1000000)},
        {"--close-at", number(o.closeAt, 1, 1000000)},
    };
    const std::map<std::string, bool*> flags = {
        {"--stay", &o.stay},
        {"--log", &o.log},
        {"--never-c", &o.neverC},
        {"--bad-write", &o.badWrite},
        {"--help", &o.help},
        {"-h", &o.help},
        {"--off-after-quit", &o.offAfterQuit},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        const std::size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
            inlineValue = true;
        }
        if (const auto flag = flags.find(name); flag != flags.end() && !inlineValue) {
            *flag->second = true;
            continue;
        }
        const auto setter = withValue.find(name);
        if (setter == withValue.end()) {
            error = "unknown option: " + args[i];
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (!setter->second(value)) {
            error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    if (static_cast<long>(o.pages) * o.bankSize > kMaxFlashBytes) {
        error = "--pages times --bank-size exceeds 16 MiB (six hex digits of byte address)";
        return false;
    }
    return true;
}

std::string EmuUsage() {
    return R"(usage: fieldprog-emu [options]

Emulates a Field Programmer on a pseudo-terminal. The first line on stdout is
"PORT <slave path>"; point the downloader at that path (FIELDPROG_COM<n>=<path>).

Line
  --baud N              pace output and input like an N-baud 8N1 line (default 9600, 0 = unpaced)
  --reply-delay-ms N    delay from a command's last character to its reply (default 80);
                        (0: a prompt device that answers at once)
  --link PATH           create a symlink PATH to the pseudo-terminal (removed on exit)
  --unplug-ms N         how long the line stays away after SIGUSR2 (default 2000)
  SIGUSR2               pull the line out: the pseudo-terminal closes (the host's open port
                        hangs up) and the --link symlink goes; after --unplug-ms a fresh
                        pseudo-terminal comes, at the same --link path, with a fresh device
                        whose button presses as configured

Button
  --press-after-ms N    first button press N ms after start (default 300, -1 = only on SIGUSR1)
  --devices K           serve K devices, one press each, then exit (default 1, 0 = endless)
  --next-device-ms M    press again M ms after a device's ".Q" (default 1000)
  --stay                keep running after the last device (until SIGTERM/SIGINT)
  SIGUSR1               press the button now (starts the next device)

Device
  --fw-version TEXT     ".V" reply text (default "123456 07 08 09")
  --status NN           status register for ".K" (default 01)
  --pages HHHH          flash banks, hexadecimal as ".K" reports them (default 0400)
  --bank-size N         bytes per bank (default 256)
  --page-ms N           erase/rewrite time per page for ".C" and ".W" (default 2)
  --eot-answer A        what the device says to EOT: echo (default), ack (as a standard
                        XMODEM receiver does) or none
  --off-after-quit      the device powers down at ".Q": the line closes right after the
                        echo of ".Q", as if its USB adaptor went with it, and comes back
                        after --unplug-ms with a fresh device (the next one on the cable)

Results
  --save-image PATH     write each device's received image; "%d" in PATH becomes the device
                        number, otherwise device 1 writes PATH and device n writes PATH.n
  --expect FILE         compare each received image with FILE and print MATCH or MISMATCH
  --log                 log every command and transfer event to stderr

Faults (CMD is a command letter such as C, .D or G1, or "all")
  --no-echo CMD         do not echo that command's characters
  --wrong-echo CMD      echo "#" in place of that command's characters
  --refuse CMD          answer "?" in place of the command letter's echo
  --yn-prompt CMD       ask "y/n" after the command's echo and act only on "Y"
  --never-c             never send "C" after ".X"
  --nak-at K            answer NAK to the K-th block
  --no-ack-at K         stay silent after the K-th block
  --close-at K          close the line when the K-th block has arrived
  --bad-write           single-byte writes do not take (the read-back shows the old value)

Output lines on stdout
  PORT <path>           at start, and again when the line comes back after SIGUSR2
  UNPLUGGED             the line has been pulled out
  DEVICE <n> RECEIVED <bytes> BYTES CRC 0x<hhhh> BLOCKS <blocks> <OK|FAIL|NONE>
                        FAIL: a block refused, the transfer left unfinished, or ".Q" less
                        than 5 s after EOT (the device is still writing its flash)
  DEVICE <n> EXPECT MATCH | DEVICE <n> EXPECT MISMATCH AT <offset>
  DONE DEVICES <n> OK <ok> FAILED <failed>
Exit status: 0 when no device failed and every requested device was served, 1 otherwise,
2 on a usage error.
)";
}
