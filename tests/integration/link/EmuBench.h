#pragma once

// What the link and device integration tests share: an emulated Field Programmer on a fresh
// pseudo-terminal with a COM number pointing at it, a private temporary folder, and a clock
// that shortens the long pauses of a download.

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "EmuServer.h"
#include "clsTiming.h"

namespace bench {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

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
        if (started_) setenv(Variable().c_str(), server_.SlavePath().c_str(), 1);
    }
    ~EmuLine() { unsetenv(Variable().c_str()); }

    bool Started() const { return started_; }
    const std::string& Error() const { return error_; }
    EmuServer& Emu() { return server_; }
    // The device that is in progress or ended last.
    EmuDeviceRecord LastDevice() const {
        const auto devices = server_.Devices();
        return devices.empty() ? EmuDeviceRecord{} : devices.back();
    }

  private:
    static std::string Variable() { return "FIELDPROG_COM" + std::to_string(kCom); }

    EmuServer server_;
    bool started_ = false;
    std::string error_;
};

// A press of the device's button, answered by `host` (the link or the device façade). A
// download ends with ".Q", which powers the device down: it needs the button again.
template <class Host>
bool Press(Host& host, EmuLine& line) {
    line.Emu().RequestPress();
    return host.WaitForFieldProgrammer(kPressLoops);
}

template <class Host>
bool Connect(Host& host, EmuLine& line) {
    return host.OpenCommPort(kCom) && Press(host, line);
}

// A private TMPDIR for the test, so that a transfer's leftover files can be seen and counted.
class PrivateTempDir {
  public:
    PrivateTempDir() {
        std::string pattern = (fs::temp_directory_path() / "fp-integ-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
        setenv("TMPDIR", path_.c_str(), 1);
    }
    ~PrivateTempDir() {
        unsetenv("TMPDIR");
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // How many transfer files (ZAP*) are still lying in the folder.
    int TransferFiles() const {
        int n = 0;
        for (const auto& entry : fs::directory_iterator(path_)) {
            n += entry.path().filename().string().rfind("ZAP", 0) == 0;
        }
        return n;
    }

  private:
    std::string path_;
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

// Bytes that look like firmware: a fixed pseudo-random sequence.
inline Bytes Noise(std::size_t count, std::uint32_t seed) {
    Bytes bytes(count);
    for (auto& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    return bytes;
}

// What the device must receive for `image`: the image, its last block filled up with zeros.
inline Bytes Padded(Bytes image) {
    image.resize((image.size() + 127) / 128 * 128, 0x00);
    return image;
}

inline Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

}  // namespace bench
