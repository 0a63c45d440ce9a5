#pragma once

// The Field Programmer as unit tests see it: a scripted device on a FakeSerialPort in virtual
// time. It echoes every character (or answers "?" when refusing), presses its button on
// request, answers fixed commands from `replies`, serves bank reads ".Dxxxx" from `banks`,
// steps through its byte-address mode (".Rxxxxxx", two spaces, values) over `memory`, counts
// pages while it clears or rewrites, and takes a block transfer (".X", "C", blocks acknowledged
// one by one, EOT, ".Q") into `received`.

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "FakeSerialPort.h"

class FakeDevice {
  public:
    explicit FakeDevice(FakeSerialPort& port) : port_(port) {
        port_.OnWrite = [this](FakeSerialPort&, const std::string& w) {
            for (const char c : w) Take(c);
        };
    }

    static std::string Hex(unsigned long value, int width) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%0*lX", width, value);
        return buffer;
    }

    std::map<std::string, std::string> replies{{".K", "\r\n01 0400\r\n"}, {".V", "\r\n123456 07 08 09\r\n"}};
    std::map<int, std::string> banks;     // bank texts; missing banks read erased
    std::map<long, std::uint8_t> memory;  // bytes of the byte-address mode
    int bankBytes = 16;
    bool refuse = false;         // answer "?" instead of echoing
    std::string refuseCommand;   // answer "?" in place of the echo of this command's last letter
    std::string silentAfter;  // a command the device echoes and then never answers
    int nakAtBlock = 0;       // answer NAK instead of ACK to this block (1-based); 0: never

    std::string received;  // data of every acknowledged block, in order
    int blocks = 0;        // blocks acknowledged
    bool ended = false;    // EOT came after the blocks

    // The button on the top of the device, `afterMs` from now.
    void Press(std::int64_t afterMs = 0) { port_.Deliver("P", afterMs); }

    // Puts `data` into the flash from bank 0 on; the rest of the last bank reads erased.
    void Program(const std::vector<std::uint8_t>& data) {
        for (std::size_t i = 0; i < data.size(); i += bankBytes) {
            std::string text;
            for (std::size_t k = i; k < i + bankBytes; ++k) {
                text += Hex(k < data.size() ? data[k] : 0xFF, 2) + " ";
            }
            banks[static_cast<int>(i / bankBytes)] = text;
        }
    }

  private:
    static constexpr std::int64_t kEchoMs = 1;         // an echo follows its character this soon
    static constexpr std::int64_t kDelayMs = 20;       // replies come this long after the echo
    static constexpr std::size_t kFrameBytes = 133;    // SOH, number, complement, 128, CRC
    static constexpr std::int64_t kPageStepMs = 100;   // between two page numbers of a clear

    void Take(char c) {
        if (inTransfer_) return Transfer(c);
        // Like a real device the echo comes a moment after the character, so the host finds it
        // (and a reply that follows quickly) at its next read after a pause.
        const bool refused = refuse || (!refuseCommand.empty() && Tail(refuseCommand.size() - 1) +
                                                                     c == refuseCommand);
        port_.Deliver(refused ? "?" : std::string(1, c), kEchoMs);
        if (refused) return line_.clear();
        if (inAddressMode_ && c != '\r') return AddressMode(c);
        inAddressMode_ = false;
        line_ += c;
        if (!silentAfter.empty() && Tail(silentAfter.size()) == silentAfter) return line_.clear();
        for (const auto& [command, reply] : replies) {
            if (Tail(command.size()) == command) return Answer(reply);
        }
        if (Tail(2) == ".C" || Tail(2) == ".W") return CountPages();
        if (Tail(2) == ".X") {
            line_.clear();
            inTransfer_ = true;
            frame_.clear();
            return port_.Deliver("C", 150);
        }
        if (Command(".D", 4)) {
            const auto found = banks.find(std::stoi(Tail(4), nullptr, 16));
            std::string erased;
            for (int k = 0; k < bankBytes; ++k) erased += "FF ";
            return Answer("\r\n" + (found != banks.end() ? found->second : erased) + "\r\n");
        }
        if (Command(".R", 6)) {
            address_ = std::stol(Tail(6), nullptr, 16);
            inAddressMode_ = true;
            Answer(AddressLine());
        }
    }
    // The page counter of a clear or rewrite: numbers overwritten by backspaces, then a line end.
    void CountPages() {
        line_.clear();
        std::int64_t at = kDelayMs;
        for (const unsigned page : {0x000u, 0x100u, 0x200u, 0x3FFu}) {
            port_.Deliver(Hex(page, 4) + "\b\b\b\b", at);
            at += kPageStepMs;
        }
        port_.Deliver("\r\n", at);
    }
    void Transfer(char c) {
        if (frame_.empty() && c == '\x04') {  // EOT: echoed, and the device is done
            inTransfer_ = false;
            ended = true;
            port_.Deliver("\x04", kEchoMs);
            return;
        }
        frame_ += c;
        if (frame_.size() < kFrameBytes) return;
        ++blocks;
        if (blocks == nakAtBlock) {
            inTransfer_ = false;  // refused: the device gives the transfer up
            port_.Deliver("\x15", 10);
        } else {
            received += frame_.substr(3, 128);
            port_.Deliver("\x06", 10);
        }
        frame_.clear();
    }
    // Two spaces step to the next address; two digits write the byte, read back at once.
    void AddressMode(char c) {
        pending_ += c;
        if (pending_ == "  ") {
            ++address_;
            port_.Deliver(AddressLine(), kDelayMs);
        } else if (pending_.size() == 2) {
            memory[address_] = static_cast<std::uint8_t>(std::stoi(pending_, nullptr, 16));
            port_.Deliver(" " + Hex(memory[address_], 2), kEchoMs);
        }
        if (pending_.size() == 2) pending_.clear();
    }
    std::string AddressLine() {
        return "\r\n" + Hex(address_, 6) + " " + Hex(memory[address_], 2) + "\r\n";
    }
    void Answer(const std::string& reply) {
        line_.clear();
        port_.Deliver(reply, kDelayMs);
    }
    std::string Tail(std::size_t n) const {
        return line_.size() >= n ? line_.substr(line_.size() - n) : "";
    }
    // Whether the line ends in `prefix` and `digits` more characters.
    bool Command(const std::string& prefix, std::size_t digits) const {
        const std::string tail = Tail(prefix.size() + digits);
        return !tail.empty() && tail.compare(0, prefix.size(), prefix) == 0;
    }

    FakeSerialPort& port_;
    std::string line_, pending_, frame_;
    bool inAddressMode_ = false;
    bool inTransfer_ = false;
    long address_ = 0;
};
