#pragma once

// The emulated Field Programmer inside the test's own process, on a fresh pseudo-terminal with
// COM 3 pointing at it, and a clock that shortens the long pauses of a download.

#include <cstdint>
#include <memory>
#include <string>

#include "EmuServer.h"
#include "TestFiles.h"
#include "clsFieldProgrammer.h"
#include "clsTiming.h"

constexpr int kEmuCom = 3;
constexpr int kPatienceMs = 10000;  // generous: the machine is shared

class EmuLine {
  public:
    // Unpaced, the button only on request, running on after its device powers down, flash
    // small enough to read back in a few seconds; `change` adjusts that.
    template <class Change>
    explicit EmuLine(Change change) : server_(Options(change)) {
        if (server_.Start(error_)) {
            com_ = std::make_unique<ScopedEnv>("FIELDPROG_COM3", server_.SlavePath());
        }
    }
    bool Started() const { return com_ != nullptr; }
    const std::string& Error() const { return error_; }
    EmuServer& Emu() { return server_; }
    // The device that is in progress or ended last.
    EmuDeviceRecord LastDevice() const {
        const auto devices = server_.Devices();
        return devices.empty() ? EmuDeviceRecord{} : devices.back();
    }
    // A press of the button, answered by `host`. A download ends with ".Q", which powers the
    // device down: it needs the button again.
    bool Press(clsFieldProgrammer& host) {
        server_.RequestPress();
        return host.WaitForFieldProgrammer(200);  // polling rounds: 10 s
    }

  private:
    template <class Change>
    static EmuOptions Options(Change change) {
        EmuOptions o;
        o.baud = 0;
        o.pressAfterMs = -1;
        o.stay = true;
        o.pages = 0x0008;
        o.bankSize = 256;
        change(o);
        return o;
    }
    EmuServer server_;
    std::string error_;
    std::unique_ptr<ScopedEnv> com_;
};

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
