#pragma once

// The Field Programmer on a FakeSerialPort; FakeLine makes ports, each with a fresh device.

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
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

    std::map<std::string, std::string> replies{{".K", "\r\n01 0400\r\n"},
                                               {".V", "\r\n123456 07 08 09\r\n"}};
    std::map<int, std::string> banks;     // bank texts; missing banks read erased
    std::map<long, std::uint8_t> memory;  // bytes of the byte-address mode
    int bankBytes = 16;
    std::int64_t echoMs = 1;    // an echo follows its character this late
    std::int64_t replyMs = 20;  // a reply follows the command's last character this late

    bool refuse = false;        // answer "?" instead of echoing
    std::string refuseCommand;  // answer "?" in place of the echo of this command's last letter
    // Faults of the transfer; blocks count from 1 in each transfer.
    int nakAtBlock = 0;              // NAK instead of ACK, and the transfer is given up
    std::int64_t ackMs = 10;         // an ACK follows its block this late
    bool strayBytes = false;         // NAK bytes every 10 ms until the ACK
    std::string eotAnswer = "\x04";  // its echo; an XMODEM receiver says ACK, some nothing

    std::string received;  // data of every acknowledged block, in order
    int blocks = 0;        // blocks received, all transfers together
    int badBlocks = 0;     // blocks whose number, complement or CRC was wrong

    void Press(std::int64_t afterMs = 0) { port_.Deliver("P", afterMs); }

    // Puts `data` into the flash from bank 0 on; the rest of the last bank reads erased.
    void Program(const std::vector<std::uint8_t>& data) {
        for (std::size_t i = 0; i < data.size(); i += bankBytes) {
            std::string text;
            for (std::size_t k = i; k < i + bankBytes; ++k)
                text += Hex(k < data.size() ? data[k] : 0xFF, 2) + " ";
            banks[static_cast<int>(i / bankBytes)] = text;
        }
    }

  private:
    static constexpr std::size_t kFrameBytes = 133;   // SOH, number, complement, 128, CRC
    static constexpr std::int64_t kPageStepMs = 100;  // between two page numbers of a clear

    void Take(char c) {
        if (inTransfer_) return Transfer(c);
        const bool refused = refuse || (!refuseCommand.empty() &&
                                        Tail(refuseCommand.size() - 1) + c == refuseCommand);
        // The echo comes a moment after the character, as a real device's, found at the next read.
        port_.Deliver(refused ? "?" : std::string(1, c), echoMs);
        if (refused) return line_.clear();
        if (inAddressMode_ && c != '\r') return AddressMode(c);
        inAddressMode_ = false;
        line_ += c;
        for (const auto& [command, reply] : replies)
            if (Tail(command.size()) == command) return Answer(reply);
        if (Tail(2) == ".C" || Tail(2) == ".W") return CountPages();
        if (Tail(2) == ".X") {
            line_.clear();
            inTransfer_ = true;
            frame_.clear();
            block_ = 0;
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
        std::int64_t at = replyMs;
        for (const unsigned page : {0x000u, 0x100u, 0x200u, 0x3FFu}) {
            port_.Deliver(Hex(page, 4) + "\b\b\b\b", at);
            at += kPageStepMs;
        }
        port_.Deliver("\r\n", at);
    }
    // Each block checked as a receiver must: number (wrapping to 0), complement, CRC-16 high first.
    void Transfer(char c) {
        if (frame_.empty() && c == '\x04') {  // EOT: the device is done
            inTransfer_ = false;
            return port_.Deliver(eotAnswer, echoMs);
        }
        frame_ += c;
        if (frame_.size() < kFrameBytes) return;
        const std::string frame = std::exchange(frame_, std::string());
        ++blocks;
        const int k = ++block_;
        const auto number = static_cast<char>(k % 256);
        const bool good = frame[0] == '\x01' && frame[1] == number &&
                          frame[2] == static_cast<char>(255 - k % 256) &&
                          frame.substr(131) == Crc(frame.substr(3, 128));
        badBlocks += good ? 0 : 1;
        if (k == nakAtBlock) inTransfer_ = false;  // the device gives the transfer up
        if (k == nakAtBlock || !good) return port_.Deliver("\x15", ackMs);
        received += frame.substr(3, 128);
        for (std::int64_t t = 10; strayBytes && t < ackMs; t += 10) port_.Deliver("\x15", t);
        port_.Deliver("\x06", ackMs);
    }
    // CRC-16 with polynomial 1021h from zero, bit by bit, as two bytes high first.
    static std::string Crc(const std::string& data) {
        unsigned crc = 0;
        for (const char byte : data) {
            crc ^= static_cast<unsigned char>(byte) << 8;
            for (int bit = 0; bit < 8; ++bit) crc = (crc << 1) ^ (crc & 0x8000 ? 0x1021 : 0);
        }
        return {static_cast<char>((crc >> 8) & 0xFF), static_cast<char>(crc & 0xFF)};
    }
    // Two spaces step to the next address; two digits write the byte, read back at once.
    void AddressMode(char c) {
        pending_ += c;
        if (pending_ == "  ") {
            ++address_;
            port_.Deliver(AddressLine(), replyMs);
        } else if (pending_.size() == 2) {
            memory[address_] = static_cast<std::uint8_t>(std::stoi(pending_, nullptr, 16));
            port_.Deliver(" " + Hex(memory[address_], 2), echoMs);
        }
        if (pending_.size() == 2) pending_.clear();
    }
    std::string AddressLine() {
        return "\r\n" + Hex(address_, 6) + " " + Hex(memory[address_], 2) + "\r\n";
    }
    void Answer(const std::string& reply) {
        line_.clear();
        port_.Deliver(reply, replyMs);
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
    int block_ = 0;
    long address_ = 0;
};

class FakeLine {
  public:
    explicit FakeLine(std::shared_ptr<VirtualClock> clock) : clock_(std::move(clock)) {}
    // A port on which the COM numbers in `held` are taken by another program.
    std::unique_ptr<SerialPort> MakePort(std::set<int> held = {}) {
        auto made = std::make_unique<FakeSerialPort>(clock_);
        made->held = std::move(held);
        made->above4 = above4;
        port = made.get();
        device = std::make_unique<FakeDevice>(*port);
        return made;
    }
    std::vector<int> above4;         // present ports above COM 4 of the ports made from now
    FakeSerialPort* port = nullptr;  // the newest; gone once its owner lets it go
    std::unique_ptr<FakeDevice> device;

  private:
    std::shared_ptr<VirtualClock> clock_;
};
