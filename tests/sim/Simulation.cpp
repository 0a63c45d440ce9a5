// The download dialogue simulated: host stack against the emulator's device, 9600 baud, virtual
// time. Each cycle draws timing and one fault from its seed, serves devices in turn, and checks:
//  (a) "programmed" is said only of a device that holds exactly the image;
//  (b) every device is programmed unless the fault is fatal, whatever its EOT or ".Q" variant;
//  (c) the cycle ends within BoundMs;
//  (d) after any fault but a stop, once the line is healthy, the next device is programmed;
//  (e) ".Q" 5 s or more after EOT; nothing sent after the window closed or into an answer;
//  (f) over the run: no file, handle or thread left over, and memory does not grow.
// Cycle i runs seed S + i; a failing one prints what --seed <seed> --cycles 1 replays.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "EmuDevice.h"
#include "Images.h"
#include "RecordingView.h"
#include "TestFiles.h"
#include "clsFieldProgrammer.h"
#include "clsTiming.h"

namespace {

// Seeds that once failed (late greeting, stray press, lost EOT, noise...), run by --regressions.
const std::uint64_t kRegressionSeeds[] = {198,  347,  4015, 287,     4797, 1015305, 243,  1121,
                                          1393, 4146, 4456, 1142309, 7805, 573,     41366};
const char* const kUsage =
    "usage: fieldprog-sim [--cycles N] [--seed S] [--regressions] [--trace] [--all]\n";
bool gTrace = false, gAll = false;  // --trace: the dialogue as it goes; --all: every failing cycle

constexpr EmuMicros kMs = kMicrosPerMs;
constexpr EmuMicros kByteUs = 1042;    // ten bits at 9600 baud
constexpr int kPages = 0x100;          // the device's flash: 256 pages of 256 bytes
constexpr int kEotToQuitMs = 5000;     // the device needs this between EOT and ".Q"
constexpr int kRoundsMs = 51 * 50;     // a wait of 50 rounds: "C", an ACK, a reply read
constexpr int kEchoMs = 11 * 50;       // eleven reads, 50 ms apart, for an echo
constexpr int kFlashMs = 30000;        // the silence a clear or rewrite may keep, beyond a reply's
constexpr int kStallBudgetMs = 3000;   // the busy PC's pauses in one cycle, all together
constexpr int kStationWaitMs = 10000;  // a station's button wait (fieldprog-cli --wait 10)

// clang-format off
enum Fault { kNone, kClearGap, kClearGapBeyond, kNoiseReply, kNoiseEcho, kDropToDevice, kDropToHost,
             kChangeToDevice, kChangeToHost, kNakAtBlock, kSilentAtBlock, kHang, kVanish,
             kVanishForGood, kQuit, kCtrlC, kFaults };
// Name; place from atLo to atUpTo + perBlock x blocks (both 0: none); value range (-1: by phase).
const struct { const char* name; int atLo, atUpTo, perBlock, valueLo, valueHi; } kKinds[] = {
    {"none", 0, 0, 0, 0, 0},                   {"clear-gap", 1, kPages, 0, 0, 29000},
    {"clear-gap-beyond", 1, kPages, 0, 33000, 45000},
    {"noise-reply", 1, 3, 1, 1, 8},            {"noise-echo", 1, 12, 0, 1, 8},  // 12 echoes
    {"drop-to-device", 0, 11, 133, 1, 255},    {"drop-to-host", 0, 50, 1, 1, 255},
    {"change-to-device", 0, 11, 133, 1, 255},  {"change-to-host", 0, 50, 1, 1, 255},
    {"nak-at-block", 1, 0, 1, 0, 0},           {"silent-at-block", 1, 0, 1, 0, 0},
    {"hang", 1, 5, 0, 0, 0},  // after ".V", ".K", ".C", ".X" or ".Q"
    {"vanish", 1, 0, 133, 0, -1},              {"vanish-for-good", 1, 0, 133, 0, -1},
    {"quit", 0, 0, 0, 0, 0},                   {"ctrl-c", 0, 0, 0, 0, 0}};
// clang-format on
static_assert(std::size(kKinds) == kFaults);

const char* const kResults[] = {"programmed",      "idle",       "no-device", "clear-failed",
                                "transfer-failed", "interrupted"};

struct Random {  // splitmix64
    std::uint64_t state;
    std::uint64_t Next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    int Int(int lo, int hi) { return lo + static_cast<int>(Next() % (hi - lo + 1)); }
    bool Chance(int percent) { return Int(1, 100) <= percent; }
};

struct Schedule {
    std::uint64_t seed;
    bool station;                   // a headless station carries on; the window waits for Reset
    int imageBytes;                 // the .BIN image, header included
    int replyMs = 0, jitterMs = 0;  // every reply this late, and up to jitterMs more per reply
    // A page's clear time, % of port calls where the host stalls 0-300 ms, the first press, fault:
    int pageMs, stalls, pressMs, fault;
    int at = 0;      // where: byte, piece (page report, reply or echo), block or command number
    int phase = 0;   // a vanish: 0 button wait, 1 greeting, 2 clear, 3 transfer, 4 EOT pause
    int value = 0;   // noise bytes, change mask, pause ms, delay after the phase
    int awayMs = 0;  // a vanished line comes back after this (-1: never)
    int stopMs = 0;  // Quit or Ctrl-C
    // Device variants: its answer to EOT; off at ".Q" (1: after its echo, 2: before) offAwayMs.
    EmuEotAnswer eotAnswer = EmuEotAnswer::Echo;
    int quitOff = 0, offAwayMs = 0;

    explicit Schedule(std::uint64_t s) : seed(s) {
        Random r{s};
        station = r.Chance(50);
        const int blocks = r.Chance(2) ? r.Int(256, 300) : r.Int(1, 8);  // past 255 sometimes
        imageBytes = blocks == 1 ? r.Int(9, 128) : blocks * 128 - r.Int(0, 127);
        if (r.Chance(50)) {
            replyMs = r.Int(0, 500);
            jitterMs = r.Chance(50) ? r.Int(0, 500 - replyMs) : 0;
        }
        pageMs = r.Int(0, 12);
        stalls = r.Chance(30) ? r.Int(1, 10) : 0;
        pressMs = r.Int(0, 3000);
        fault = r.Int(0, kFaults - 1);
        const auto& kind = kKinds[fault];
        if (Vanishes()) phase = r.Int(0, 4);
        if (kind.atUpTo + kind.perBlock > 0)
            at = r.Int(kind.atLo, kind.atUpTo + kind.perBlock * blocks);
        const int byPhase[] = {pressMs, 100, 2500, 0, kEotToQuitMs};
        if (kind.valueHi != 0)
            value = r.Int(kind.valueLo, kind.valueHi < 0 ? byPhase[phase] : kind.valueHi);
        if (Vanishes()) awayMs = fault == kVanish ? r.Int(0, 5000) : -1;
        if (Stops()) stopMs = pressMs + r.Int(0, 15000 + 140 * blocks);
        Random v{s ^ 0x5DEECE66DULL};  // its own stream: the seeds above keep their schedules
        if (v.Chance(50)) eotAnswer = v.Chance(50) ? EmuEotAnswer::Ack : EmuEotAnswer::None;
        if (v.Chance(30)) quitOff = v.Int(1, 2), offAwayMs = v.Int(0, 6000);
    }
    // Without resend only a clear's pause within its limit or noise before a reply are survivable.
    bool Survivable() const { return fault == kNone || fault == kClearGap || fault == kNoiseReply; }
    bool Vanishes() const { return fault == kVanish || fault == kVanishForGood; }
    bool Stops() const { return fault == kQuit || fault == kCtrlC; }
};

// (c) The host's limits for four devices, plus pauses, absence, stalls and the stop.
std::int64_t BoundMs(const Schedule& s) {
    const std::int64_t blocks = (s.imageBytes + 127) / 128;
    const std::int64_t device = 13 * kEchoMs + 3 * (3 * kRoundsMs + 500 + s.jitterMs) + kFlashMs +
                                std::int64_t{kPages} * std::max(s.pageMs, 9) + s.value + kRoundsMs +
                                blocks * (139 + kRoundsMs) + kEotToQuitMs + 1000;
    return 4 * (device + 3000 + s.offAwayMs) + s.pressMs + 1000 * 50 + std::max(s.awayMs, 0) +
           2 * kStationWaitMs + kStallBudgetMs + s.stopMs;
}

// Line, devices, operator, busy PC and clock, caught up lazily; up to four devices are served.
class World : public Clock, public RecordingView {
  public:
    struct Overrun {};  // thrown from the clock once the cycle has run past its bound
    std::vector<std::string> violations;
    std::vector<std::unique_ptr<EmuDevice>> devices;
    std::vector<std::pair<int, DeviceResult>> ended;  // device number and what the host said
    std::int64_t resetAt = -1;                        // the operator clicks Reset then
    // The first device's EOT was lost or changed: whatever it answers, the host cannot tell.
    bool EotLost() const {
        return (s_.fault == kDropToDevice || s_.fault == kChangeToDevice) && s_.at == eotByte_;
    }
    bool open = false, failed = false;  // the host's port

    World(const Schedule& s, std::int64_t limitMs)
        : s_(s), random_{~s.seed}, limit_(limitMs * kMs), pressAt_(s.pressMs * kMs) {
        options_.replyDelayMs = s.replyMs;
        options_.pressAfterMs = -1;  // the operator presses
        options_.pages = kPages;
        options_.pageMs = s.pageMs;
        options_.nakAt = s.fault == kNakAtBlock ? s.at : 0;
        options_.noAckAt = s.fault == kSilentAtBlock ? s.at : 0;
        options_.eotAnswer = s.eotAnswer;
        options_.offAfterQuit = s.quitOff != 0;
        Plug(0);
        VanishIn(0);
        if (s.Stops()) stopAt_ = s.stopMs;
        onLine = [this](const std::string& line) { unloaded_ = unloaded_ || line == "closed"; };
    }

    std::int64_t NowMs() override { return now_ / kMs; }
    void SleepMs(std::int64_t ms) override { SetNow(now_ + std::max<std::int64_t>(ms, 0) * kMs); }
    std::int64_t LineBackMs() {  // -1: it went for good
        Advance(now_);
        return present_ ? now_ / kMs : returnAt_ == kEmuNever ? -1 : returnAt_ / kMs;
    }
    std::string History() const {  // the schedule and the last bytes each side sent
        char text[300];
        std::snprintf(text, sizeof text,
                      "%s, image %d bytes, replies +%d..%d ms, %d ms a page, stalls %d%%, press "
                      "at %d ms; %s at=%d phase=%d value=%d away=%d stop=%d; EOT answer %d, "
                      "off at .Q %d for %d ms",
                      s_.station ? "station" : "window", s_.imageBytes, s_.replyMs,
                      s_.replyMs + s_.jitterMs, s_.pageMs, s_.stalls, s_.pressMs,
                      kKinds[s_.fault].name, s_.at, s_.phase, s_.value, s_.awayMs, s_.stopMs,
                      int(s_.eotAnswer), s_.quitOff, s_.offAwayMs);
        return text + ("\n  host sent:   " + Printable(sent_)) +
               "\n  device sent: " + Printable(answered_);
    }

    void DoEvents() override {
        RecordingView::DoEvents();
        MaybeStall();
        if (s_.station && !lineGone_ && LineBackMs() < 0) {  // stopped by hand a little later
            lineGone_ = true;
            stopAt_ = NowMs() + kStationWaitMs;
        }
        if (stopAt_ < 0 || NowMs() < stopAt_) return;
        stopAt_ = -1;
        if (s_.fault == kQuit) return sequence->cmdQuit_Click();
        stop = true;
    }
    void DeviceEnded(DeviceResult result) override {
        if (result == DeviceResult::Idle) return;
        Advance(now_);
        const int device = Device();
        const bool programmed = result == DeviceResult::Programmed;
        ended.emplace_back(device, result);
        Trace("host said", "device " + std::to_string(device + 1) + " " + kResults[int(result)]);
        if ((device > 0 && programmed) || ended.size() >= 4)
            return s_.station ? void(stop = true) : QuitSoon();
        const std::int64_t back = LineBackMs();
        if (s_.Stops() || back < 0) return;
        const std::int64_t next = std::max(back, NowMs()) + 500;
        if (!s_.station && !programmed) resetAt = next;
        PressAt(s_.station || programmed ? next : next + 1000);
    }

    PortOpenStatus Open() {
        if (open) return PortOpenStatus::Busy;
        Advance(now_);
        if (!present_) return PortOpenStatus::NoDevice;
        open = true;
        failed = false;
        toHost_.clear();  // a port opened afresh has nothing waiting
        return PortOpenStatus::Opened;
    }
    std::string ReadAll() {
        MaybeStall();
        Advance(now_);
        std::string bytes;
        for (; open && !failed && !toHost_.empty() && toHost_.front().at <= now_;
             toHost_.pop_front())
            bytes += static_cast<char>(toHost_.front().value);
        Trace("host read", Printable(bytes));
        return bytes;
    }
    bool Write(const std::string& bytes) {
        MaybeStall();
        Advance(now_);
        Trace("host wrote", Printable(bytes));
        if (!open || failed) return false;
        if (!present_) return !(failed = true);
        if (unloaded_) violations.push_back("(e) bytes reached the device after the window closed");
        if (bytes == "\x04" && eotByte_ < 0) eotByte_ = hostBytes_;
        for (const char c : bytes) {
            auto value = static_cast<std::uint8_t>(c);
            const bool passes = Passes(kDropToDevice, kChangeToDevice, hostBytes_++, value);
            txFree_ = std::max(now_, txFree_) + kByteUs;
            Keep(sent_, value);
            if (passes) toDevice_.push_back({txFree_, value, false});
        }
        return true;
    }
    // Event by event: the device does nothing after a byte reaches the host before the host saw it.
    bool WaitReadable(int ms) {
        Advance(now_);
        const EmuMicros until = now_ + ms * kMs;
        while (open && !failed) {
            const EmuMicros byteAt = toHost_.empty() ? kEmuNever : toHost_.front().at;
            const EmuMicros event = NextEvent();
            if (byteAt <= until && byteAt <= event) {
                SetNow((std::max(byteAt, now_) + kMs - 1) / kMs * kMs);
                Advance(now_);
                return true;
            }
            if (event > until) break;
            Advance(event);
        }
        SetNow(std::max(now_, until));
        Advance(now_);
        return false;
    }

  private:
    struct Byte {
        EmuMicros at;
        std::uint8_t value;
        bool answer;  // the device's answer to the host (not noise, nor a "P" or "C" it repeats)
    };

    void MaybeStall() {
        if (s_.stalls == 0 || stallLeftMs_ <= 0 || !random_.Chance(s_.stalls)) return;
        const int ms = std::min(random_.Int(0, 300), stallLeftMs_);
        stallLeftMs_ -= ms;
        SleepMs(ms);
    }
    void PressAt(std::int64_t ms) {
        Advance(now_);
        commandsAtPlan_ = devices.back()->Commands();
        pressOnReturn_ = false;
        pressAt_ = std::max(ms * kMs, now_);
    }
    void Trace(const char* what, const std::string& text, EmuMicros at = -1) const {
        if (gTrace && !text.empty())
            std::fprintf(stderr, "%8.3f %s: %s\n", (at < 0 ? now_ : at) / 1e6, what, text.c_str());
    }
    int Device() const { return static_cast<int>(devices.size()) - 1; }
    bool First(int fault, int orFault = -1) const {
        return (s_.fault == fault || s_.fault == orFault) && Device() == 0;
    }
    void VanishIn(int phase) {
        if (First(kVanish, kVanishForGood) && s_.phase == phase)
            vanishAt_ = world_ + s_.value * kMs;
    }
    // Byte `index` on its way, where the first device's drop or change fault may wait.
    bool Passes(int drop, int change, int index, std::uint8_t& value) const {
        if (First(change) && index == s_.at) value ^= static_cast<std::uint8_t>(s_.value);
        return !(First(drop) && index == s_.at);
    }
    void SetNow(EmuMicros us) {
        now_ = std::max(now_, us);
        if (now_ > limit_) throw Overrun{};
    }
    EmuMicros NextEvent() const {
        EmuMicros next = std::min({pressAt_, vanishAt_, returnAt_});
        if (!toDevice_.empty()) next = std::min(next, toDevice_.front().at);
        if (present_ && !frozen_) next = std::min(next, devices.back()->NextDeadline());
        return next;
    }
    void Advance(EmuMicros to) {
        for (int guard = 0; NextEvent() <= to; ++guard) {
            world_ = std::max(world_, NextEvent());
            if (guard > 1000000) {
                violations.push_back("(c) the device model does not move on");
                frozen_ = true;
            } else if (pressAt_ <= world_) {
                pressAt_ = kEmuNever;
                Press();
            } else if (vanishAt_ <= world_) {
                vanishAt_ = kEmuNever;
                Vanish(std::exchange(awayMs_, s_.awayMs));
            } else if (returnAt_ <= world_) {
                returnAt_ = kEmuNever;
                present_ = true;
                rxFree_ = txFree_ = world_;
                devices.back()->Plug(world_);
                if (pressOnReturn_) PressAt(world_ / kMs + 200);
            } else if (!toDevice_.empty() && toDevice_.front().at <= world_) {
                const Byte byte = toDevice_.front();
                toDevice_.pop_front();
                Deliver(byte);
            } else {
                devices.back()->Tick(world_);
                Collect(false);
            }
        }
        world_ = std::max(world_, to);
    }
    void Plug(EmuMicros at) {
        devices.push_back(std::make_unique<EmuDevice>(options_, at));
        devices.back()->Log = [this](const std::string& note) { OnNote(note); };
        options_.nakAt = options_.noAckAt = 0;  // the first device's faults stay with it
    }
    // What was on its way to or in a device no longer there is forgotten.
    void Forget() { toDevice_.clear(), inTransfer_ = false, eotAt_ = -1; }
    void Press() {
        pressOnReturn_ |= !present_;
        if (!present_) return;
        // Moot once the host talked to the device since; the next device if it had spoken to it.
        if (devices.back()->Commands() != commandsAtPlan_) return;
        if (devices.back()->Commands() > 0) {
            Plug(world_);
            while (!toHost_.empty() && toHost_.back().at > world_) toHost_.pop_back();
            rxFree_ = std::min(rxFree_, world_);
            Forget();
            frozen_ = false;
        }
        devices.back()->Press(world_);
        Collect(false);
    }
    void Vanish(int awayMs) {
        // A press the host never answered is made again once the line is back.
        pressOnReturn_ = pressOnReturn_ || devices.back()->Commands() == 0;
        present_ = false;
        failed = open;
        devices.back()->Unplug();
        Forget();
        toHost_.clear();
        if (awayMs >= 0) returnAt_ = world_ + awayMs * kMs;
    }
    void Deliver(const Byte& byte) {
        if (frozen_ || !present_) return;
        // Where a fault may have cut an answer short, the host cannot know it is still coming.
        if (byte.value == '.' && !inTransfer_ && (s_.Survivable() || Device() > 0) &&
            std::any_of(toHost_.begin(), toHost_.end(),
                        [&](const Byte& b) { return b.answer && b.at > world_; }))
            violations.push_back("(e) a command began while the device still answered");
        if (inTransfer_ && ++transferBytes_ == s_.at) VanishIn(3);  // no delay in the transfer
        devices.back()->Receive(byte.value, byte.at);
        Collect(true);
        if (devices.back()->PoweringOff() && vanishAt_ == kEmuNever) {  // the variant, not a fault
            vanishAt_ = s_.quitOff == 2 ? world_ : rxFree_ + random_.Int(0, 100) * kMs;
            awayMs_ = s_.offAwayMs;
        }
        frozen_ = frozen_ || (First(kHang) && devices.back()->Commands() >= std::uint64_t(s_.at));
    }
    // Puts the device's output on the line; `answers`: it answers a byte just received.
    void Collect(bool answers) {
        for (EmuOutput& piece : devices.back()->TakeOutput()) {
            const bool block = piece.bytes == "\x06" || piece.bytes == "\x15";
            const bool echo = answers && piece.notBefore <= world_ && !block;
            const bool pages = piece.bytes.find('\b') != std::string::npos;
            EmuMicros start = piece.notBefore;
            if (answers && !echo && piece.notBefore > world_ && s_.jitterMs > 0)
                start += random_.Int(0, s_.jitterMs) * kMs;
            if (pages && First(kClearGap, kClearGapBeyond) && ++pages_ == s_.at)
                start = std::max(start, rxFree_) + s_.value * kMs;
            if (answers && ((First(kNoiseReply) && !echo && !pages && ++replies_ == s_.at) ||
                            (First(kNoiseEcho) && echo && ++echoes_ == s_.at))) {
                // Garbage as a glitch or a wrong baud rate makes it: no character of the dialogue.
                std::string noise(std::size_t(s_.value), '\0');
                for (char& c : noise) c = static_cast<char>(random_.Int(0x80, 0xFF));
                Serialize(noise, start, false, false);
            }
            Serialize(piece.bytes, start, answers, !pages);
        }
    }
    void Serialize(const std::string& bytes, EmuMicros start, bool answer, bool counted) {
        for (const char c : bytes) {
            auto value = static_cast<std::uint8_t>(c);
            rxFree_ = std::max(start, rxFree_) + kByteUs;
            if (!Passes(kDropToHost, kChangeToHost, counted ? deviceBytes_++ : -1, value)) continue;
            Keep(answered_, value);
            toHost_.push_back({rxFree_, value, answer});
        }
    }
    // The device's notes tell the phases of a download, where a fault may wait.
    void OnNote(const std::string& note) {
        Trace("device", note, world_);
        const auto has = [&](const char* text) { return note.find(text) != std::string::npos; };
        const bool x = has(": command .X"), eot = has("EOT after"), quit = has(": command .Q");
        if (x || eot || has("transfer left") || has("no block after")) inTransfer_ = x;
        if (x) transferBytes_ = 0;
        // A byte changed or lost on its way may have looked like EOT to the device.
        if (quit && eotAt_ >= 0 && world_ - eotAt_ < kEotToQuitMs * kMs &&
            s_.fault != kDropToDevice && s_.fault != kChangeToDevice)
            violations.push_back("(e) .Q came " + std::to_string((world_ - eotAt_) / kMs) +
                                 " ms after EOT");
        if (eot || quit) eotAt_ = eot ? world_ : -1;
        if (has(": command .V")) VanishIn(1);
        if (has(": command .C")) VanishIn(2);
        if (eot) VanishIn(4);
    }
    static void Keep(std::string& history, std::uint8_t value) {
        history += static_cast<char>(value);
        if (history.size() > 96) history.erase(0, 48);
    }
    static std::string Printable(const std::string& bytes) {
        std::string out;
        for (const unsigned char b : bytes)
            out += b >= 0x20 && b < 0x7F ? std::string(1, char(b)) : "<" + EmuHex(b, 2) + ">";
        return out;
    }

    const Schedule& s_;
    Random random_;
    EmuMicros now_ = 0, world_ = 0, limit_, txFree_ = 0, rxFree_ = 0;
    int stallLeftMs_ = kStallBudgetMs;
    EmuOptions options_;
    std::uint64_t commandsAtPlan_ = 0;
    std::deque<Byte> toDevice_, toHost_;
    EmuMicros pressAt_ = kEmuNever, vanishAt_ = kEmuNever, returnAt_ = kEmuNever, eotAt_ = -1;
    std::int64_t stopAt_ = -1;                  // the operator stops the run then (ms)
    bool unloaded_ = false, lineGone_ = false;  // the window has closed; the station's line went
    bool present_ = true, frozen_ = false, pressOnReturn_ = false, inTransfer_ = false;
    int awayMs_ = s_.awayMs, eotByte_ = -1;  // the next vanish's absence; EOT's index
    int hostBytes_ = 0, deviceBytes_ = 0, replies_ = 0, echoes_ = 0, pages_ = 0, transferBytes_ = 0;
    std::string sent_, answered_;
};

// The host's port; it only borrows the world, which runs on after the window closed.
class SimPort : public SerialPort {
  public:
    explicit SimPort(World& world) : w_(world) {}
    PortOpenResult OpenDevice(const std::string& device) override {
        PortOpenResult result;
        result.device = device;
        result.status = w_.Open();
        return result;
    }
    bool Close() override { return !(w_.open = false); }
    bool IsOpen() const override { return w_.open; }
    std::string ReadAll() override { return w_.ReadAll(); }
    bool Write(const std::string& bytes) override { return w_.Write(bytes); }
    bool SetBreak(bool) override { return w_.open; }
    bool SetRThreshold(int) override { return true; }
    bool WaitReadable(int ms) override { return w_.WaitReadable(ms); }
    bool Failed() const override { return w_.failed; }

  private:
    World& w_;
};

bool Holds(const EmuDevice& device, const Bytes& image) {
    const EmuDeviceRecord* last = nullptr;
    for (const EmuDeviceRecord& record : device.Records())
        if (record.transferStarted) last = &record;
    return last != nullptr && last->Verdict() == "OK" && last->CompareWith(image) == "MATCH" &&
           std::equal(image.begin() + 8, image.end(), device.Flash().Bytes().begin());
}

// One cycle: what it violated and, in `history`, what replays it.
std::vector<std::string> RunCycle(const Schedule& s, std::string& history) {
    const Bytes image = BinImage(static_cast<std::size_t>(s.imageBytes - 8), std::uint32_t(s.seed));
    const std::int64_t bound = BoundMs(s);
    World world(s, bound);
    clsTiming::InstallClock(std::shared_ptr<Clock>(std::shared_ptr<Clock>(), &world));
    SequenceSettings settings;  // the window's, or a station's as fieldprog-cli runs one
    if (s.station) settings = {{}, {}, kStationWaitMs / 50, kStationWaitMs, 0, true, {}};
    auto host = std::make_unique<clsFieldProgrammer>(std::make_unique<SimPort>(world));
    host->OpenCommDevice("SIM");
    try {
        DownloadSequence sequence(world, settings);
        world.sequence = &sequence;
        sequence.RunHeadless(std::move(host), image);
        while (world.resetAt >= 0 && sequence.ResetPending() && !sequence.Unloaded()) {
            world.SleepMs(world.resetAt - world.NowMs());
            world.resetAt = -1;
            sequence.cmdDescription_Click();
        }
    } catch (const World::Overrun&) {
    }
    clsTiming::InstallClock(nullptr);
    std::vector<std::string> found;
    if (world.NowMs() >= bound)
        found.push_back("(c) still running after " + std::to_string(bound) + " ms");
    const auto& ended = world.ended;
    for (const auto& [device, result] : ended)
        if (result == DeviceResult::Programmed &&
            !Holds(*world.devices[std::size_t(device)], image) && !(device == 0 && world.EotLost()))
            found.push_back("(a) device " + std::to_string(device + 1) +
                            " said to be programmed does not hold the image");
    const auto said = [&](std::size_t i) {
        return std::string(i < ended.size() ? kResults[int(ended[i].second)] : "nothing");
    };
    for (std::size_t i = 0; s.Survivable() && i < std::max<std::size_t>(ended.size(), 1); ++i)
        if (said(i) != "programmed")
            found.push_back("(b) result " + std::to_string(i + 1) + ": " + said(i));
    if (!s.Stops() && world.LineBackMs() >= 0 && said(ended.size() - 1) != "programmed")
        found.push_back("(d) the last device: " + said(ended.size() - 1));
    found.insert(found.end(), world.violations.begin(), world.violations.end());
    if (!found.empty()) history = world.History();
    return found;
}

long Entries(const char* folder) {
    return long(std::distance(std::filesystem::directory_iterator(folder), {}));
}

long ResidentKiB() {
    long size = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t cycles = 1000, violations = 0, run = 0, clean = 0, delayed = 0, stalled = 0;
    std::uint64_t seed = std::uint64_t(std::chrono::system_clock::now().time_since_epoch().count());
    bool regressions = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--cycles" || arg == "--seed") && i + 1 < argc)
            (arg == "--cycles" ? cycles : seed) = std::strtoull(argv[++i], nullptr, 0);
        else if (arg == "--regressions" || arg == "--trace" || arg == "--all")
            (arg == "--trace" ? gTrace : arg == "--all" ? gAll : regressions) = true;
        else
            return std::fputs(kUsage, stderr), 2;
    }
    TempFolderScope temp;  // the host must leave nothing in it
    const long handles = Entries("/proc/self/fd"), threads = Entries("/proc/self/task");
    const auto started = std::chrono::steady_clock::now();
    const auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    const std::uint64_t settled = std::max<std::uint64_t>(1000, cycles / 10);
    long residentSettled = 0;
    std::uint64_t met[kFaults] = {}, byInvariant[6] = {}, eotAnswers[3] = {}, offAtQuit = 0;
    const auto one = [&](std::uint64_t cycleSeed) {
        const Schedule s(cycleSeed);
        ++met[s.fault];
        delayed += s.replyMs + s.jitterMs > 0;
        stalled += s.stalls > 0;
        ++eotAnswers[int(s.eotAnswer)];
        offAtQuit += s.quitOff != 0;
        clean += s.fault == kNone && s.replyMs + s.jitterMs == 0 && s.stalls == 0;
        std::string history;
        const std::vector<std::string> found = RunCycle(s, history);
        if (++run == settled) residentSettled = ResidentKiB();
        if (found.empty()) return;
        for (const std::string& what : found) ++byInvariant[what[1] - 'a'];
        if (++violations > 20 && !gAll) return;
        std::printf("VIOLATION in the cycle of seed %" PRIu64 " (--seed %" PRIu64
                    " --cycles 1)\n  %s\n",
                    cycleSeed, cycleSeed, history.c_str());
        for (const std::string& what : found) std::printf("  %s\n", what.c_str());
    };
    if (regressions)
        for (const std::uint64_t s : kRegressionSeeds) one(s);
    for (std::uint64_t i = 0; i < cycles; ++i) {
        one(seed + i);
        if ((i + 1) % 100000 == 0)  // a long run shows how far it got
            std::fprintf(stderr, "simulation: %" PRIu64 " cycles, %.0f s, violations %" PRIu64 "\n",
                         i + 1, seconds(), violations);
    }

    std::vector<std::string> left;
    if (temp.Entries() != 0) left.push_back("(f) files left in the temporary folder");
    if (Entries("/proc/self/fd") != handles) left.push_back("(f) file handles left open");
    if (Entries("/proc/self/task") != threads) left.push_back("(f) threads left running");
    if (run >= 2 * settled && ResidentKiB() - residentSettled > 8192)
        left.push_back("(f) memory grew by " + std::to_string(ResidentKiB() - residentSettled) +
                       " KiB");
    for (const std::string& what : left) std::printf("VIOLATION %s\n", what.c_str());
    byInvariant[5] += left.size();
    violations += left.size();
    std::printf("simulation: %" PRIu64 " cycles from seed %" PRIu64
                " in %.1f s; met: clean %" PRIu64 ", reply-delay %" PRIu64 ", host-stall %" PRIu64,
                run, seed, seconds(), clean, delayed, stalled);
    for (int k = 1; k < kFaults; ++k) std::printf(", %s %" PRIu64, kKinds[k].name, met[k]);
    std::printf("; devices answering EOT with ACK %" PRIu64 ", with nothing %" PRIu64
                ", powering off at .Q %" PRIu64,
                eotAnswers[1], eotAnswers[2], offAtQuit);
    std::printf("; violations %" PRIu64, violations);
    for (int k = 0; k < 6; ++k) std::printf(" (%c) %" PRIu64, 'a' + k, byInvariant[k]);
    std::puts("");
    return violations == 0 ? 0 : 1;
}
