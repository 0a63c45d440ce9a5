#pragma once

#include <string>
#include <vector>

// What the device says to EOT: this device echoes it, a standard XMODEM receiver acknowledges it,
// and some receivers say nothing at all.
enum class EmuEotAnswer { Echo, Ack, None };

// Everything that shapes one emulator run: the line, the button, the device's identity and
// flash, what to write at the end, and the faults to inject. Defaults suit the command-line
// tool; tests usually set `baud` to 0 and `pageMs` to 0 to run unpaced.
struct EmuOptions {
    // Line
    int baud = 9600;        // 0: unpaced, bytes go out as fast as the pseudo-terminal takes them
    int replyDelayMs = 80;  // from a command's last character to the first byte of its reply
    std::string linkPath;   // optional symlink to the pseudo-terminal
    int unplugMs = 2000;    // how long the line stays away when it is pulled out

    // Button
    int pressAfterMs = 300;   // first press after start; negative: only on request
    int devices = 1;          // devices to serve (one press each); 0: endless
    int nextDeviceMs = 1000;  // from a device's ".Q" to the next press
    bool stay = false;        // keep running after the last device

    // Identity and flash
    std::string fwVersion = "123456 07 08 09";
    std::string status = "01";
    int pages = 0x0400;  // flash banks, reported by ".K" as 4 hex digits
    int bankSize = 256;  // bytes per bank
    int pageMs = 2;      // time to erase or rewrite one page
    EmuEotAnswer eotAnswer = EmuEotAnswer::Echo;
    bool offAfterQuit = false;  // powers down at ".Q": the line closes once the echo is out

    // Results
    std::string saveImagePath;  // "%d" becomes the device number; else device n > 1 gets ".n"
    std::string expectPath;
    bool log = false;

    // Faults. Each set holds command letters ("C", "D", "G", ...); "*" stands for every
    // character the device echoes, the greeting included.
    std::string noEcho;
    std::string wrongEcho;
    std::string refuse;
    std::string ynPrompt;
    bool neverC = false;
    int nakAt = 0;          // answer NAK to the k-th block (1-based); 0: off
    int noAckAt = 0;        // stay silent after the k-th block
    int closeAt = 0;        // close the line when the k-th block has arrived
    bool badWrite = false;  // single-byte writes in address mode do not take

    bool help = false;
};

// Reads the command line (without the program name). False with a message on bad input.
bool ParseEmuOptions(const std::vector<std::string>& args, EmuOptions& options, std::string& error);

// The --help text.
std::string EmuUsage();
