#include "Station.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CliOptions.h"
#include "Console.h"
#include "DownloadJob.h"
#include "DownloadSequence.h"
#include "ErrorNumbers.h"
#include "ExitCodes.h"
#include "ImageSource.h"
#include "PortSession.h"
#include "ProductionLog.h"
#include "StationDisplay.h"
#include "Terminal.h"
#include "ZelSerialComms.h"
#include "clsError.h"
#include "clsFieldProgrammer.h"

namespace {

using Steady = std::chrono::steady_clock;

// --count N over all ports: a port takes a new device only while fewer than N are done or
// under way. A device that never answers its greeting gives its place back, so the run is over
// only when N devices have ended; until then no port stops. --endless has no limit.
class DeviceBudget {
  public:
    DeviceBudget(bool endless, int count) : endless_(endless), count_(count) {}
    // Every place is taken by a device done or under way.
    bool Full() const { return !endless_ && claimed_.load() >= count_; }
    // N devices have ended: the run is over.
    bool Reached() const { return !endless_ && ended_.load() >= count_; }
    bool Claim() {
        if (endless_) return true;
        int claimed = claimed_.load();
        while (claimed < count_) {
            if (claimed_.compare_exchange_weak(claimed, claimed + 1)) return true;
        }
        return false;
    }
    // A claimed device that never answered its greeting leaves its place to another.
    void Release() {
        if (!endless_) --claimed_;
    }
    void Ended() { ++ended_; }
    // Presses seen while every place was taken, and never answered since.
    std::atomic<int> unanswered{0};

  private:
    bool endless_;
    int count_;
    std::atomic<int> claimed_{0};
    std::atomic<int> ended_{0};
};

// One port's view of the download sequence: its line of the display and its records.
class PortView : public DownloadView {
  public:
    PortView(std::size_t index, std::string label, StationDisplay& display, ProductionLog& log,
             DeviceBudget& budget, const FlashImage& image, std::string crc)
        : index_(index),
          label_(std::move(label)),
          display_(display),
          log_(log),
          budget_(budget),
          image_(image),
          crc_(std::move(crc)) {}

    DownloadSequence* sequence = nullptr;

    void SetCaption(const std::string&) override {}
    void SetStatus(const std::string&) override {}
    void SetButtonCaption(Button, const std::string&) override {}
    void ShowButtons(bool) override {}
    void EnableQuit(bool) override {}
    void ShowBars(bool) override {}
    // Each bar's progress counts only in its own phase.
    void SetBar(Bar bar, int value) override {
        if (busy_ && (bar == Bar::Clear) == !transferring_) display_.Percent(index_, value);
    }
    void ShowPicture(int) override {}
    void SetBusyTimer(bool running) override {
        transferring_ = running;
        if (running) display_.State(index_, "transferring", 0);
    }
    int ChoosePort(const std::string&, const std::string&, const std::vector<PortChoice>&,
                   const std::string&) override {
        return 0;
    }
    bool ChooseBinaryFile(const std::string&, const std::string&, std::string&) override {
        return false;
    }
    void ShowMessage(const std::string&, const std::string& text) override {
        display_.Event(index_, text);
    }
    void ShowAbout(const std::string&, const std::string&, const std::string&) override {}
    void ShowWindow() override {}
    void CloseMainWindow() override {}
    void CloseOtherWindows() override {}
    void DoEvents() override {}
    // Ctrl-C; or every device of the run has ended.
    bool StopRequested() override {
        // The record of a device under way cannot wait for its pause before ".Q" to end.
        if (busy_ && interrupt::Terminating() && !recorded_) {
            Log("INTERRUPTED", 0, "", Steady::now() - startedAt_);
            recorded_ = true;
        }
        return terminal::InterruptReceived() != 0 || (!busy_ && !claimed_ && budget_.Reached());
    }

    // While every place of the count is taken by devices under way elsewhere, the port waits
    // here: one of them may yet give its place back.
    bool DeviceWanted() override {
        if (std::exchange(claimed_, false)) budget_.Release();  // pressed, never answered
        firmware_.clear();
        bool paused = false;
        while (!budget_.Reached() && terminal::InterruptReceived() == 0) {
            if (!budget_.Full()) {
                display_.State(index_, "waiting for the button");
                return true;
            }
            if (!std::exchange(paused, true)) display_.State(index_, "paused: count under way");
            std::this_thread::sleep_for(kPausePoll);
        }
        return false;
    }
    bool DeviceClaimed() override {
        claimed_ = budget_.Claim();
        // A press the count has no place for is answered later if a place comes free.
        if (claimed_ && std::exchange(refused_, false)) --budget_.unanswered;
        if (!claimed_ && !std::exchange(refused_, true)) ++budget_.unanswered;
        return claimed_;
    }
    bool DeviceStarted() override {
        busy_ = std::exchange(claimed_, false);
        ++number_;
        startedAt_ = Steady::now();
        // The version this device answered at its greeting, and no earlier device's.
        firmware_ = sequence->Device()->Serial().GreetingReply();
        if (busy_) display_.State(index_, "clearing", 0);
        return busy_;
    }
    void DeviceEnded(DeviceResult result) override {
        if (std::exchange(claimed_, false)) budget_.Release();  // pressed, never answered
        if (result == DeviceResult::Idle) return;
        if (std::exchange(busy_, false)) budget_.Ended();
        const auto elapsed = Steady::now() - startedAt_;
        const std::string tag = "device " + std::to_string(number_);
        const clsError& error = sequence->Device()->LastError();
        const char* record = nullptr;
        switch (result) {
            case DeviceResult::Programmed:
                display_.Count(index_, true);
                Log("OK", 0, "", elapsed);
                display_.Event(index_, tag + " programmed: " + image_.name + ", CRC-16 " + crc_ +
                                           ", " + Seconds(elapsed) + " s");
                display_.State(index_, "done");
                return;
            case DeviceResult::Interrupted:
                Log("INTERRUPTED", 0, "", elapsed);
                display_.State(index_, "interrupted");
                return;
            case DeviceResult::ClearFailed:
                record = "CLEAR-FAILED";
                break;
            case DeviceResult::TransferFailed:
                record = "TRANSFER-FAILED";
                break;
            default:
                record = "NO-DEVICE";
                break;
        }
        display_.Count(index_, false);
        Log(record, error.Number(), error.Message(), elapsed);
        display_.Event(index_, tag + " failed: " + error.Message() + " (error " +
                                   std::to_string(error.Number()) + ")");
        display_.State(index_, "failed");
    }
    void PortLost() override {
        ++lost;
        firmware_.clear();
        Log("PORT-LOST", errnum::kOpenFailed, "the port went away", Steady::duration::zero());
        display_.Event(index_, "the port went away; waiting for it to come back");
        display_.State(index_, "port gone");
    }
    void PortBack() override { display_.Event(index_, "the port is back"); }

    // What the port's line says once its sequence is over.
    void SequenceOver() {
        if (terminal::InterruptReceived() != 0) {
            display_.State(index_, "stopped: interrupted");
        } else if (budget_.Reached()) {
            display_.State(index_, number_ > 0 ? "done" : "stopped: count reached");
        }
    }

    int lost = 0;  // times the port went away

  private:
    static constexpr auto kPausePoll = std::chrono::milliseconds(100);

    // The record, with the firmware version the device gave at its greeting; trouble with the
    // file is told at once.
    void Log(const char* result, std::int32_t number, const std::string& text,
             Steady::duration elapsed) {
        if (std::exchange(recorded_, false)) return;  // recorded when the program was ended
        const std::string note =
            log_.Record(label_, image_, crc_, result, number, text, elapsed, firmware_);
        if (!note.empty()) display_.Event(index_, note);
    }

    std::size_t index_;
    std::string label_;
    StationDisplay& display_;
    ProductionLog& log_;
    DeviceBudget& budget_;
    const FlashImage& image_;
    std::string crc_;
    bool claimed_ = false;   // a pressed device holds a place of the count, not yet greeted
    bool refused_ = false;   // a press found no place and is counted as unanswered
    std::string firmware_;   // the device under way answered this to ".V"
    bool recorded_ = false;  // the device under way is recorded as interrupted already
    bool busy_ = false;      // a device of this port is under way
    bool transferring_ = false;
    int number_ = 0;
    Steady::time_point startedAt_{};
};

// One port of the station: the device object on its opened port, or why it could not be had.
struct Worker {
    std::string label;
    std::unique_ptr<clsFieldProgrammer> device;
    std::unique_ptr<PortView> view;
    std::thread thread;
};

std::string PerHour(int devices, double seconds) {
    if (seconds <= 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", devices * 3600.0 / seconds);
    return text;
}

}  // namespace

int RunStation(const CliOptions& options, Console& console) {
    FlashImage image;
    if (!ResolveDownloadImage(options, console, image)) return exitcode::kBadInput;
    const std::string crc = ImageCrcText(image.bytes);
    ProductionLog log;
    std::string logError;
    if (!log.Open(options.logPath, logError)) {
        console.Error(logError);
        return exitcode::kBadInput;
    }

    // Every port is opened first; one that cannot be had is reported and left out.
    std::vector<Worker> workers;
    bool allOpened = true;
    for (const PortName& port : options.ports) {
        PortSession session(console);
        Worker worker;
        if (session.Open(port) == exitcode::kOk) {
            worker.label = session.PortLabel();
            worker.device = session.Release();
        } else {
            allOpened = false;
            worker.label = session.PortLabel();
            const std::string note =
                log.Record(worker.label, image, crc, "PORT-FAILED", errnum::kOpenFailed,
                           session.OpenFailure(), Steady::duration::zero());
            if (!note.empty()) console.Error(note);
        }
        workers.push_back(std::move(worker));
    }
    console.Status("Image " + image.name + ": " + std::to_string(image.bytes.size()) +
                   " bytes, CRC-16 " + crc + ", " + std::to_string(workers.size()) + " ports");

    std::vector<std::string> labels;
    for (const Worker& worker : workers) labels.push_back(worker.label);
    console.Flush();  // the table is drawn below what was said so far
    StationDisplay display(labels, terminal::IsInteractive(terminal::Stream::Err));
    DeviceBudget budget(options.endless, options.count);

    const SequenceSettings settings = HeadlessSettings(options, true);

    const auto started = Steady::now();
    for (std::size_t i = 0; i < workers.size(); ++i) {
        Worker& worker = workers[i];
        if (!worker.device) {
            display.State(i, "not opened");
            continue;
        }
        worker.view = std::make_unique<PortView>(i, worker.label, display, log, budget, image, crc);
        worker.thread = std::thread([&worker, &image, settings] {
            DownloadSequence sequence(*worker.view, settings);
            worker.view->sequence = &sequence;
            sequence.RunHeadless(std::move(worker.device), image.bytes);
            worker.view->SequenceOver();
        });
    }
    for (Worker& worker : workers) {
        if (worker.thread.joinable()) worker.thread.join();
    }
    display.Finish();
    const double seconds = std::chrono::duration<double>(Steady::now() - started).count();

    int programmed = 0;
    int failed = 0;
    int lost = 0;
    std::size_t width = 4;
    for (const std::string& label : labels) width = std::max(width, label.size());
    console.Result("Port" + std::string(width - 4, ' ') + "  programmed  failed");
    for (std::size_t i = 0; i < workers.size(); ++i) {
        programmed += display.Programmed(i);
        failed += display.Failed(i);
        const int portLost = workers[i].view ? workers[i].view->lost : 0;
        lost += portLost;
        char line[80];
        std::snprintf(line, sizeof line, "  %10d  %6d", display.Programmed(i), display.Failed(i));
        std::string note = workers[i].view ? "" : "  (not opened)";
        if (portLost > 0) note = "  (went away " + std::to_string(portLost) + "x)";
        std::string name = workers[i].label;
        name.resize(width, ' ');
        console.Result(name + line + note);
    }
    console.Result("Total: " + std::to_string(programmed) + " programmed, " +
                   std::to_string(failed) + " failed in " + Seconds(Steady::now() - started) +
                   " s, " + PerHour(programmed, seconds) + " devices per hour");

    const int unanswered = budget.unanswered.load();
    if (unanswered > 0) {
        console.Result(std::to_string(unanswered) + (unanswered == 1 ? " press" : " presses") +
                       " left unanswered: the count was reached");
    }
    ReportUnwrittenRecords(log, options.logPath, console);
    // The worst that happened: records lost, then devices or ports that failed, then a stop.
    if (log.Missing()) return exitcode::kRecordsMissing;
    if (failed > 0 || lost > 0 || !allOpened) {
        return programmed == 0 ? exitcode::kNoneProgrammed : exitcode::kSomeFailed;
    }
    if (terminal::InterruptReceived() != 0) return interrupt::ExitCode();
    if (programmed == 0) return exitcode::kNoneProgrammed;
    return exitcode::kOk;
}
