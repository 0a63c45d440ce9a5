#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// A source of time. The real one sleeps; the virtual one used by tests only moves its hands.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual std::int64_t NowMs() = 0;  // monotonic milliseconds
    virtual void SleepMs(std::int64_t ms) = 0;
};

std::shared_ptr<Clock> SystemClock();

// Time moves only when someone sleeps (or a fake port waits). For tests.
class VirtualClock : public Clock {
  public:
    std::int64_t NowMs() override { return now_; }
    void SleepMs(std::int64_t ms) override {
        if (ms > 0) now_ += ms;
    }
    void Advance(std::int64_t ms) { SleepMs(ms); }

  private:
    std::int64_t now_ = 0;
};

// The sleep helper and the one door to "let the message loop run". Core code never calls a
// clock or sleep directly. Clock and message pump belong to the calling thread and are
// replaceable: a window installs a pump that runs its event loop, tests install a virtual clock.
class clsTiming {
  public:
    clsTiming() = default;

    // Above 300 ms: sleeps of 300 ms with the message loop run after each, while the remainder
    // is above 0 (1000 ms become four sleeps, 1200 ms). 300 ms or less: one plain sleep.
    void SleepFor(std::int32_t lngMilliseconds);
    // Lets the message loop run once (no-op when no pump is installed).
    void DoEvents();

    static Clock& CurrentClock();
    static void InstallClock(std::shared_ptr<Clock> clock);  // nullptr restores the system clock
    static void InstallMessagePump(std::function<void()> pump);  // empty: none
};
