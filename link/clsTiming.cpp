#include "clsTiming.h"

#include <chrono>
#include <thread>
#include <utility>

namespace {

constexpr std::int32_t kSliceMs = 300;  // longest sleep without letting the message loop run

class SteadyClock : public Clock {
  public:
    std::int64_t NowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void SleepMs(std::int64_t ms) override {
        if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

// Each thread has its own: a programming station runs one download per port, each on a
// thread of its own with its own stop flag behind its pump.
std::shared_ptr<Clock>& InstalledClock() {
    thread_local std::shared_ptr<Clock> clock = SystemClock();
    return clock;
}

std::function<void()>& InstalledPump() {
    thread_local std::function<void()> pump;
    return pump;
}

}  // namespace

std::shared_ptr<Clock> SystemClock() {
    static std::shared_ptr<Clock> clock = std::make_shared<SteadyClock>();
    return clock;
}

Clock& clsTiming::CurrentClock() {
    return *InstalledClock();
}

void clsTiming::InstallClock(std::shared_ptr<Clock> clock) {
    InstalledClock() = clock ? std::move(clock) : SystemClock();
}

void clsTiming::InstallMessagePump(std::function<void()> pump) {
    InstalledPump() = std::move(pump);
}

void clsTiming::DoEvents() {
    // Copy first: a handler run by the pump may install another pump.
    const auto pump = InstalledPump();
    if (pump) pump();
}

void clsTiming::SleepFor(std::int32_t lngMilliseconds) {
    if (lngMilliseconds > kSliceMs) {
        std::int32_t remaining = lngMilliseconds;
        while (remaining > 0) {
            CurrentClock().SleepMs(kSliceMs);
            remaining -= kSliceMs;
            DoEvents();
        }
    } else if (lngMilliseconds > 0) {
        CurrentClock().SleepMs(lngMilliseconds);
    }
}
