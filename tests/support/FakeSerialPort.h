#pragma once

// A scripted serial port in virtual time: bytes become readable at set moments, waits move time.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "SerialPort.h"
#include "clsTiming.h"

// An open that hangs in the system until released (a Bluetooth port whose partner is away).
struct HangingOpen {
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    bool throws = false;  // the open ends in an exception instead
    int started = 0;      // system opens begun
    int discarded = 0;    // handles nobody took, closed late
    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
    // Whether `what` comes true within 5 s.
    bool Await(const std::function<bool()>& what) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), what);
    }
};

class FakeSerialPort : public SerialPort {
  public:
    explicit FakeSerialPort(std::shared_ptr<VirtualClock> clock) : clock_(std::move(clock)) {}

    // Makes `bytes` readable `afterMs` from now (virtual time), after whatever is due earlier.
    void Deliver(const std::string& bytes, std::int64_t afterMs = 0) {
        const Chunk chunk{clock_->NowMs() + afterMs, bytes};
        pending_.insert(
            std::upper_bound(pending_.begin(), pending_.end(), chunk,
                             [](const Chunk& a, const Chunk& b) { return a.at < b.at; }),
            chunk);
    }
    bool echo = false;  // every byte written comes straight back
    // Called for every write (after the echo); may Deliver more.
    std::function<void(FakeSerialPort&, const std::string& written)> OnWrite;
    std::set<int> held;                // COM numbers another program holds
    std::vector<int> above4;           // COM numbers above 4 that are present
    void Vanish() { failed_ = true; }  // the adaptor is pulled out
    bool absent = false;               // no device by any name: opens fail
    // Pulled and plugged back: the old handle reads and writes nothing, until the port is reopened.
    void Replug() { stale_ = true; }

    std::string written;                                       // every byte, in order
    std::vector<std::pair<std::int64_t, std::string>> writes;  // (virtual time, bytes)
    int openedPort = 0;
    int opens = 0;                 // successful opens (the port set up, DTR raised)
    std::vector<int> rThresholds;  // every receive threshold set, in order
    // Set: opens go through the port-opening service and hang there until released.
    std::shared_ptr<HangingOpen> hang;
    int hangPatienceMs = 100;  // how long such an open is waited for

    // COM numbers need no mapping here: COM n is the device "COMn".
    PortOpenResult Open(int comPort) override {
        if (held.count(comPort) != 0) {
            PortOpenResult busy;
            busy.status = PortOpenStatus::Busy;
            busy.device = "COM" + std::to_string(comPort);
            busy.holder = "PID 7 (minicom)";
            return busy;
        }
        PortOpenResult result = OpenDevice("COM" + std::to_string(comPort));
        if (result.Opened()) openedPort = comPort;
        return result;
    }
    std::vector<int> PresentPortsAbove4() const override { return above4; }
    PortOpenResult OpenDevice(const std::string& device) override {
        OpenPlan plan = PlanDevice(device);
        return plan.call.open ? RunOpen(std::move(plan), hangPatienceMs) : plan.result;
    }
    PortOpenResult FinishOpen(PortOpenResult result,
                              const std::optional<OpenedHandle>& got) override {
        result.status = !got            ? PortOpenStatus::NotAnswering
                        : !got->Valid() ? PortOpenStatus::Failed
                        : open_         ? PortOpenStatus::Busy
                                        : PortOpenStatus::Opened;
        if (result.Opened()) SetUp();
        return result;
    }
    bool Close() override { return !(open_ = false); }
    bool IsOpen() const override { return open_; }
    std::string ReadAll() override {
        std::string out;
        if (!open_ || failed_ || stale_) return out;
        auto due = pending_.begin();
        for (; due != pending_.end() && due->at <= clock_->NowMs(); ++due) out += due->bytes;
        pending_.erase(pending_.begin(), due);
        return out;
    }
    bool Write(const std::string& bytes) override {
        if (!open_ || failed_) return false;
        if (stale_) return true;
        written += bytes;
        writes.emplace_back(clock_->NowMs(), bytes);
        if (echo) Deliver(bytes);
        if (OnWrite) OnWrite(*this, bytes);
        return true;
    }
    bool SetBreak(bool) override { return open_; }
    bool SetRThreshold(int bytes) override {
        rThresholds.push_back(bytes);
        return true;
    }
    bool WaitReadable(int ms) override {
        if (!open_ || failed_) return false;
        if (stale_) {
            clock_->Advance(ms);
            return false;
        }
        const std::int64_t now = clock_->NowMs();
        const bool arrives = !pending_.empty() && pending_.front().at <= now + ms;
        clock_->Advance(arrives ? std::max<std::int64_t>(0, pending_.front().at - now) : ms);
        return arrives;
    }
    bool Failed() const override { return failed_; }

  private:
    OpenPlan PlanDevice(const std::string& device) {
        OpenPlan plan;
        plan.result.device = device;
        plan.result.status = absent  ? PortOpenStatus::NoDevice
                             : open_ ? PortOpenStatus::Busy
                                     : PortOpenStatus::Opened;
        if (plan.result.Opened() && hang) {
            plan.call.open = [h = hang] {
                std::unique_lock<std::mutex> lock(h->mutex);
                ++h->started;
                h->changed.wait(lock, [&] { return h->released; });
                if (h->throws) throw std::runtime_error("driver fault");
                return OpenedHandle{7, 0};
            };
            plan.call.discard = [h = hang](const OpenedHandle&) {
                std::lock_guard<std::mutex> lock(h->mutex);
                ++h->discarded;
                h->changed.notify_all();
            };
        } else if (plan.result.Opened()) {
            SetUp();
        }
        return plan;
    }
    void SetUp() {
        open_ = true;
        failed_ = stale_ = false;
        ++opens;
    }
    struct Chunk {
        std::int64_t at;
        std::string bytes;
    };
    std::shared_ptr<VirtualClock> clock_;
    std::vector<Chunk> pending_;  // in the order they become readable
    bool open_ = false;
    bool failed_ = false;
    bool stale_ = false;
};
