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

constexpr int kCom = 3;                 // the COM number every test points at the emulator
constexpr std::int16_t kPressLoops = 200;  // polling rounds allowed for the button (10 s)
constexpr int kPatienceMs = 10000;      // generous: the machine is shared

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
    EmuLine(const EmuLine&) = delete;
    EmuLine& operator=(const EmuLine&) = delete;

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

// A private TMPDIR for the test, so that a transfer's leftover files can be seen and counted.
class PrivateTempDir {
public:
    PrivateTempDir() {
        if (const char* old = getenv("TMPDIR")) old_ = old;
        std::string pattern = (fs::temp_directory_path() / "fp-integ-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
        setenv("TMPDIR", path_.c_str(), 1);
    }
    ~PrivateTempDir() {
        if (old_.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", old_.c_str(), 1);
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    PrivateTempDir(const PrivateTempDir&) = delete;
    PrivateTempDir& operator=(const PrivateTempDir&) = delete;

    std::string operator/(const std::string& name) const { return (fs::path(path_) / name).string(); }

    // Names of the transfer files (ZAP*) still lying in the folder.
    std::vector<std::string> TransferFiles() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(path_, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("ZAP", 0) == 0) names.push_back(name);
        }
        return names;
    }

private:
    std::string path_;
    std::string old_;
};

// Every download ends with a fixed five-second pause between EOT and ".Q", which the emulator
// does not need. The sleep helper takes long pauses in slices of 300 ms; this clock lets such a
// slice last 20 ms. The 50 ms polling rounds stay real, because the dialogue's timing rests on
// them, and the time it tells is real, because the waits measure their limits with it.
class ShortPauseClock : public Clock {
public:
    std::int64_t NowMs() override { return real_->NowMs(); }
    void SleepMs(std::int64_t ms) override { real_->SleepMs(ms >= kLongMs ? kShortMs : ms); }

private:
    static constexpr std::int64_t kLongMs = 300;  // the sleep helper's slice
    static constexpr std::int64_t kShortMs = 20;
    std::shared_ptr<Clock> real_ = SystemClock();
};

// Installs ShortPauseClock for the life of the object.
class ShortPauses {
public:
    ShortPauses() { clsTiming::InstallClock(std::make_shared<ShortPauseClock>()); }
    ~ShortPauses() { clsTiming::InstallClock(nullptr); }
    ShortPauses(const ShortPauses&) = delete;
    ShortPauses& operator=(const ShortPauses&) = delete;
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
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace bench
