#pragma once

// The emulated Field Programmer inside the test's own process, on a fresh pseudo-terminal with
// a COM number pointing at it, and a clock that shortens the long pauses of a download.

#include <cstdint>
#include <memory>
#include <string>

#include "EmuServer.h"
#include "TestFiles.h"
#include "clsFieldProgrammer.h"
#include "clsTiming.h"

constexpr int kCom = 3;                    // the COM number every test points at the emulator
constexpr std::int16_t kPressLoops = 200;  // polling rounds allowed for the button (10 s)
constexpr int kPatienceMs = 10000;         // generous: the machine is shared

// The emulator as the tests like it: unpaced, the button only on request, running on after its
// device powers down, flash small enough to read back in a few seconds.
inline EmuOptions FastOptions() {
    EmuOptions o;
    o.baud = 0;
    o.pressAfterMs = -1;
    o.stay = true;
    o.pages = 0x0040;
    o.pageMs = 0;
    return o;
}

// One emulated device on its own pseudo-terminal; FIELDPROG_COM<kCom> names it while this lives.
class EmuLine {
  public:
    explicit EmuLine(const EmuOptions& options) : server_(options) {
        started_ = server_.Start(error_);
        if (started_) {
            com_ = std::make_unique<ScopedEnv>("FIELDPROG_COM" + std::to_string(kCom),
                                               server_.SlavePath());
        }
    }
    bool Started() const { return started_; }
    const std::string& Error() const { return error_; }
    EmuServer& Emu() { return server_; }
    // The device that is in progress or ended last.
    EmuDeviceRecord LastDevice() const {
        const auto devices = server_.Devices();
        return devices.empty() ? EmuDeviceRecord{} : devices.back();
    }

  private:
    EmuServer server_;
    bool started_ = false;
    std::string error_;
    std::unique_ptr<ScopedEnv> com_;
};

// A press of the device's button, answered by the host. A download ends with ".Q", which
// powers the device down: it needs the button again.
inline bool Press(clsFieldProgrammer& host, EmuLine& line) {
    line.Emu().RequestPress();
    return host.WaitForFieldProgrammer(kPressLoops);
}

inline bool Connect(clsFieldProgrammer& host, EmuLine& line) {
    return host.OpenCommPort(kCom) && Press(host, line);
}

// Every download ends with a fixed five-second pause between EOT and ".Q", which the emulator
// does not need. The sleep helper takes long pauses in slices of 300 ms; while this lives such
// a slice lasts 20 ms. The 50 ms polling rounds and the time told stay real, because the
// dialogue's timing and the waits' limits rest on them.
class ShortPauses {
  public:
    ShortPauses() { clsTiming::InstallClock(std::make_shared<ShortSlices>()); }
    ~ShortPauses() { clsTiming::InstallClock(nullptr); }

  private:
    struct ShortSlices : Clock {
        std::int64_t NowMs() override { return real->NowMs(); }
        void SleepMs(std::int64_t ms) override { real->SleepMs(ms >= 300 ? 20 : ms); }
        std::shared_ptr<Clock> real = SystemClock();
    };
};
