#pragma once

// Plays the Field Programmer on a FakeSerialPort: echoes every character (or answers "?"
// when refusing), answers fixed commands from `replies`, serves bank reads ".Dxxxx" from a
// bank store and steps through its byte-address mode (".Rxxxxxx", two spaces, values).

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

    std::map<std::string, std::string> replies{{".K", "\r\n01 0400\r\n"}};
    std::map<int, std::string> banks;    // bank texts; missing banks read erased
    std::map<long, std::uint8_t> memory;  // bytes of the byte-address mode
    int bankBytes = 16;
    bool refuse = false;   // answer "?" instead of echoing
    int stuckValue = -1;   // when set, a written value reads back as this

    // Puts `data` into the flash from bank 0 on; the rest of the last bank reads erased.
    void Program(const std::vector<std::uint8_t>& data) {
        for (std::size_t i = 0; i < data.size(); i += bankBytes) {
            std::string text;
            for (std::size_t k = i; k < i + bankBytes; ++k) text += Hex(k < data.size() ? data[k] : 0xFF, 2) + " ";
            banks[static_cast<int>(i / bankBytes)] = text;
        }
    }
    static std::string Hex(unsigned long value, int width) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "%0*lX", width, value);
        return buffer;
    }

private:
    static constexpr std::int64_t kDelayMs = 20;  // replies come this long after the echo

    void Take(char c) {
        port_.Deliver(refuse ? "?" : std::string(1, c));
        if (refuse) return;
        if (inAddressMode_ && c != '\r') return AddressMode(c);
        inAddressMode_ = false;
        line_ += c;
        for (const auto& [command, reply] : replies) {
            if (Tail(command.size()) == command) return Answer(reply);
        }
        if (HexTail(".D", 4)) {
            const auto found = banks.find(std::stoi(Tail(4), nullptr, 16));
            return Answer("\r\n" + (found != banks.end() ? found->second : Erased()) + "\r\n");
        }
        if (HexTail(".R", 6)) {
            address_ = std::stol(Tail(6), nullptr, 16);
            inAddressMode_ = true;
            Answer(AddressLine());
        }
    }
    // Two spaces step to the next address; two digits write the byte, read back at once.
    void AddressMode(char c) {
        pending_ += c;
        if (pending_ == "  ") {
            ++address_;
            port_.Deliver(AddressLine(), kDelayMs);
        } else if (pending_.size() == 2) {
            memory[address_] = static_cast<std::uint8_t>(stuckValue >= 0 ? stuckValue : std::stoi(pending_, nullptr, 16));
            port_.Deliver(" " + Hex(memory[address_], 2));
        }
        if (pending_.size() == 2) pending_.clear();
    }
    std::string AddressLine() { return "\r\n" + Hex(address_, 6) + " " + Hex(memory[address_], 2) + "\r\n"; }
    std::string Erased() const {
        std::string text;
        for (int k = 0; k < bankBytes; ++k) text += "FF ";
        return text;
    }
    void Answer(const std::string& reply) {
        line_.clear();
        port_.Deliver(reply, kDelayMs);
    }
    std::string Tail(std::size_t n) const { return line_.size() >= n ? line_.substr(line_.size() - n) : ""; }
    bool HexTail(const std::string& prefix, std::size_t digits) const {
        const std::string tail = Tail(prefix.size() + digits);
        return !tail.empty() && tail.compare(0, prefix.size(), prefix) == 0 &&
               tail.find_first_not_of("0123456789ABCDEF", prefix.size()) == std::string::npos;
    }

    FakeSerialPort& port_;
    std::string line_;
    std::string pending_;
    bool inAddressMode_ = false;
    long address_ = 0;
};
