// The ideal device cycle: the real host code (façade, link, transfer) against the real device
// model and line pacing of the emulator, in simulated time. Nothing here is scheduled, copied
// through a pseudo-terminal or written to a slow disk, so the time it takes is what the protocol
// itself prescribes; a measured cycle's excess over it is our own overhead.
//
//   bench_cycle_model --image FILE.BIN [emulator options as for fieldprog-emu]
//
// Prints one JSON object: the simulated cycle time, the bytes on the line in each direction,
// and how long the host slept in each kind of pause.

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "EmuDevice.h"
#include "EmuOptions.h"
#include "EmuPacer.h"
#include "SerialPort.h"
#include "clsError.h"
#include "clsFPMemory.h"
#include "clsFieldProgrammer.h"
#include "clsTiming.h"

namespace {

constexpr std::int64_t kLongSleepMs = 300;  // the sleep helper's slice: the fixed pauses
constexpr int kButtonRounds = 1000;         // polling rounds allowed for the button

// Simulated time in microseconds, which the line needs (a byte takes 1042 us at 9600 baud).
class MicroClock : public Clock {
  public:
    std::int64_t NowMs() override { return now_ / 1000; }
    void SleepMs(std::int64_t ms) override {
        if (ms <= 0) return;
        if (ms >= kLongSleepMs)
            pauseUs += ms * 1000;
        else if (echoPending)
            echoReadUs += ms * 1000;
        else
            replyRoundUs += ms * 1000;
        now_ += ms * 1000;
    }
    std::int64_t NowUs() const { return now_; }
    void AdvanceTo(std::int64_t us) { now_ = std::max(now_, us); }

    // Set by the port: a character is out and its echo has not been read yet.
    bool echoPending = false;
    std::int64_t pauseUs = 0;
    std::int64_t echoReadUs = 0;
    std::int64_t replyRoundUs = 0;

  private:
    std::int64_t now_ = 0;
};

// The emulator's device and pacer behind the serial-port seam, run lazily up to the host's
// present whenever the host touches the port.
class ModelPort : public SerialPort {
  public:
    ModelPort(const EmuOptions& options, std::shared_ptr<MicroClock> clock)
        : clock_(std::move(clock)), device_(options, 0), pacer_(options.baud) {}

    PortOpenResult Open(int comPort) override {
        return OpenDevice("COM" + std::to_string(comPort));
    }
    PortOpenResult OpenDevice(const std::string& device) override {
        open_ = true;
        PortOpenResult result;
        result.status = PortOpenStatus::Opened;
        result.device = device;
        return result;
    }
    bool Close() override {
        open_ = false;
        return true;
    }
    bool IsOpen() const override { return open_; }
    std::string ReadAll() override {
        RunUntil(clock_->NowUs());
        std::string out;
        out.swap(inbox_);
        if (!out.empty()) clock_->echoPending = false;
        return out;
    }
    bool Write(const std::string& bytes) override {
        RunUntil(clock_->NowUs());
        pacer_.Received(bytes, clock_->NowUs());
        bytesToDevice += bytes.size();
        clock_->echoPending = true;
        return true;
    }
    bool SetBreak(bool) override { return true; }
    bool SetRThreshold(int) override { return true; }
    bool WaitReadable(int ms) override {
        const std::int64_t until = clock_->NowUs() + static_cast<std::int64_t>(ms) * 1000;
        const std::int64_t from = clock_->NowUs();
        for (;;) {
            RunUntil(clock_->NowUs());
            if (!inbox_.empty() || clock_->NowUs() >= until) break;
            clock_->AdvanceTo(std::min(until, std::max(NextEvent(), clock_->NowUs() + 1)));
        }
        wakeOnArrivalUs += clock_->NowUs() - from;
        return !inbox_.empty();
    }
    bool Failed() const override { return false; }

    std::size_t bytesToDevice = 0;
    std::size_t bytesToHost = 0;
    std::int64_t wakeOnArrivalUs = 0;

  private:
    EmuMicros NextEvent() const { return std::min(device_.NextDeadline(), pacer_.NextDeadline()); }

    // Every device and line event up to `now`, each at its own moment, as the emulator's loop
    // would have woken for it.
    void RunUntil(EmuMicros now) {
        for (int guard = 0; guard < 1000000; ++guard) {
            const EmuMicros next = NextEvent();
            if (next > now) break;
            Step(next);
        }
        Step(now);
    }
    void Step(EmuMicros at) {
        std::uint8_t byte = 0;
        EmuMicros arrival = 0;
        while (pacer_.TakeInput(at, byte, arrival)) device_.Receive(byte, arrival);
        device_.Tick(at);
        for (EmuOutput& output : device_.TakeOutput()) pacer_.Queue(std::move(output));
        const std::string due = pacer_.TakeDue(at);
        bytesToHost += due.size();
        inbox_ += due;
    }

    std::shared_ptr<MicroClock> clock_;
    EmuDevice device_;
    EmuPacer pacer_;
    std::string inbox_;
    bool open_ = false;
};

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string image;
    const auto flag = std::find(args.begin(), args.end(), "--image");
    if (flag != args.end() && flag + 1 != args.end()) {
        image = *(flag + 1);
        args.erase(flag, flag + 2);
    }
    EmuOptions options;
    std::string error;
    if (image.empty() || !ParseEmuOptions(args, options, error)) {
        std::fprintf(stderr,
                     "usage: bench_cycle_model --image FILE.BIN [fieldprog-emu options] %s\n",
                     error.c_str());
        return 2;
    }

    auto clock = std::make_shared<MicroClock>();
    clsTiming::InstallClock(clock);
    auto owned = std::make_unique<ModelPort>(options, clock);
    ModelPort& port = *owned;
    clsFieldProgrammer device(std::move(owned));
    // The same sequence as the headless downloader's: open, load once, button, clear, transfer.
    const bool ok = device.OpenCommPort(1) && device.Memory().LoadBinaryFile(image) &&
                    device.WaitForFieldProgrammer(kButtonRounds) &&
                    device.Memory().ClearFlashMemory() && device.Memory().DownloadBinaryData();
    clsTiming::InstallClock(nullptr);

    std::printf(
        "{\"ok\": %s, \"cycle_ms\": %.3f, \"bytes_to_device\": %zu, \"bytes_to_host\": %zu, "
        "\"pause_ms\": %.3f, \"echo_read_ms\": %.3f, \"reply_round_ms\": %.3f, "
        "\"wake_on_arrival_ms\": %.3f, \"error\": %d}\n",
        ok ? "true" : "false", clock->NowUs() / 1000.0, port.bytesToDevice, port.bytesToHost,
        clock->pauseUs / 1000.0, clock->echoReadUs / 1000.0, clock->replyRoundUs / 1000.0,
        port.wakeOnArrivalUs / 1000.0, static_cast<int>(device.LastError().Number()));
    return ok ? 0 : 1;
}
