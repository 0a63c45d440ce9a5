#pragma once

// A scripted serial port for unit tests, living in virtual time: what the "device" sends
// becomes readable at a given virtual moment, and waiting on the port moves the clock.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SerialPort.h"
#include "clsTiming.h"

class FakeSerialPort : public SerialPort {
public:
    explicit FakeSerialPort(std::shared_ptr<VirtualClock> clock) : clock_(std::move(clock)) {}

    // --- Script -------------------------------------------------------------------------
    // Makes `bytes` readable `afterMs` from now (virtual time).
    void Deliver(const std::string& bytes, std::int64_t afterMs = 0) {
        pending_.push_back({clock_->NowMs() + afterMs, seq_++, bytes});
        std::stable_sort(pending_.begin(), pending_.end(), [](const Chunk& a, const Chunk& b) {
            return a.at != b.at ? a.at < b.at : a.seq < b.seq;
        });
    }
    // When true every byte written comes straight back (the device's echo).
    bool echo = false;
    // Replies triggered by what the host wrote: when the written stream (since the last
    // trigger) ends with `command`, `reply` is delivered `delayMs` later. Checked after echo.
    void Reply(const std::string& command, const std::string& reply, std::int64_t delayMs = 0) {
        replies_.push_back({command, reply, delayMs});
    }
    // Called for every write after echo and replies; may Deliver more.
    std::function<void(FakeSerialPort&, const std::string& written)> OnWrite;

    // Refuse the next Open; make writes fail; report the device as vanished.
    bool refuseOpen = false;
    bool failWrites = false;
    void Vanish() { failed_ = true; }

    // --- What the host did --------------------------------------------------------------
    std::string written;  // every byte written, in order
    std::vector<std::pair<std::int64_t, std::string>> writes;  // (virtual time, bytes)
    int openedPort = 0;
    std::string openedDevice;
    int openCount = 0;
    int closeCount = 0;
    int rThreshold = 1;
    std::vector<int> rThresholdHistory;
    int breakOnCount = 0;
    bool breakOn = false;
    std::int64_t Now() const { return clock_->NowMs(); }
    bool HasPending() const { return !pending_.empty(); }

    // --- SerialPort ---------------------------------------------------------------------
    // COM numbers need no mapping here: COM n is the device "COMn".
    PortOpenResult Open(int comPort) override {
        PortOpenResult result = OpenDevice("COM" + std::to_string(comPort));
        if (result.Opened()) openedPort = comPort;
        return result;
    }
    PortOpenResult OpenDevice(const std::string& device) override {
        PortOpenResult result;
        result.device = device;
        if (refuseOpen || open_) {
            result.status = PortOpenStatus::Busy;
            return result;
        }
        open_ = true;
        failed_ = false;
        openedDevice = device;
        ++openCount;
        result.status = PortOpenStatus::Opened;
        return result;
    }
    bool Close() override {
        if (!open_) return true;
        open_ = false;
        ++closeCount;
        return true;
    }
    bool IsOpen() const override { return open_; }
    std::string ReadAll() override {
        std::string out;
        if (!open_ || failed_) return out;
        const std::int64_t now = clock_->NowMs();
        auto it = pending_.begin();
        while (it != pending_.end() && it->at <= now) {
            out += it->bytes;
            ++it;
        }
        pending_.erase(pending_.begin(), it);
        return out;
    }
    bool Write(const std::string& bytes) override {
        if (!open_ || failed_ || failWrites) return false;
        written += bytes;
        writes.emplace_back(clock_->NowMs(), bytes);
        sinceTrigger_ += bytes;
        if (echo) Deliver(bytes, 0);
        for (const auto& r : replies_) {
            if (sinceTrigger_.size() >= r.command.size() &&
                sinceTrigger_.compare(sinceTrigger_.size() - r.command.size(), r.command.size(),
                                      r.command) == 0) {
                sinceTrigger_.clear();
                Deliver(r.reply, r.delayMs);
                break;
            }
        }
        if (OnWrite) OnWrite(*this, bytes);
        return true;
    }
    bool SetBreak(bool on) override {
        if (!open_) return false;
        if (on && !breakOn) ++breakOnCount;
        breakOn = on;
        return true;
    }
    bool SetRThreshold(int bytes) override {
        rThreshold = bytes;
        rThresholdHistory.push_back(bytes);
        return true;
    }
    bool WaitReadable(int ms) override {
        if (!open_ || failed_) return false;
        const std::int64_t now = clock_->NowMs();
        if (!pending_.empty() && pending_.front().at <= now) return true;
        if (!pending_.empty() && pending_.front().at <= now + ms) {
            clock_->Advance(pending_.front().at - now);
            return true;
        }
        clock_->Advance(ms);
        return false;
    }
    bool Failed() const override { return failed_; }

private:
    struct Chunk {
        std::int64_t at;
        std::uint64_t seq;
        std::string bytes;
    };
    struct Rule {
        std::string command;
        std::string reply;
        std::int64_t delayMs;
    };
    std::shared_ptr<VirtualClock> clock_;
    std::vector<Chunk> pending_;
    std::vector<Rule> replies_;
    std::string sinceTrigger_;
    std::uint64_t seq_ = 0;
    bool open_ = false;
    bool failed_ = false;
};
