#include "DownloadJob.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "BinFile.h"
#include "CliOptions.h"
#include "Console.h"
#include "DownloadSequence.h"
#include "ErrorNumbers.h"
#include "ExitCodes.h"
#include "ImageSource.h"
#include "PortSession.h"
#include "ProductionLog.h"
#include "TextIds.h"
#include "ZelSerialComms.h"
#include "clsError.h"
#include "clsFPMemory.h"
#include "clsFieldProgrammer.h"

namespace {

using Steady = std::chrono::steady_clock;

constexpr int kPollRoundsPerSecond = 20;  // the button wait polls every 50 ms

}  // namespace

SequenceSettings HeadlessSettings(const CliOptions& options, bool carryOnAfterFailure) {
    SequenceSettings settings;
    const int limit = std::numeric_limits<std::int16_t>::max();
    settings.waitRounds =
        static_cast<std::int16_t>(std::min(options.waitSeconds * kPollRoundsPerSecond, limit));
    // A device that sends "P" but never echoes the greeting costs far more than 50 ms a
    // round, so rounds alone would overrun --wait many times over.
    settings.waitLimitMs = options.waitSeconds * 1000LL;
    settings.animationSteps = 0;  // nobody watches pictures here
    settings.carryOnAfterFailure = carryOnAfterFailure;
    return settings;
}

bool ResolveDownloadImage(const CliOptions& options, Console& console, FlashImage& image) {
    std::string error;
    bool loaded = false;
    if (!options.imagePath.empty()) {
        loaded = LoadImageFile(options.imagePath, image, error);
        // A .BIN file carries no language; this program's own record may.
        FlashImage own;
        std::string ignored;
        if (loaded && LoadPayloadImage("", own, ignored) && own.hasLanguage) {
            image.hasLanguage = true;
            image.language = own.language;
        }
    } else if (!options.payloadPath.empty()) {
        loaded = LoadPayloadImage(options.payloadPath, image, error);
    } else {
        loaded = LoadPayloadImage("", image, error);
        if (!loaded)
            error =
                "this program carries no binary file: give --image FILE.BIN or --payload "
                "DOWNLOADER";
    }
    if (loaded && image.hasLanguage) console.Language(image.language);
    if (!loaded) {
        console.Status(console.Text(textid::kNoBinary));
        console.Error(error);
        return false;
    }
    const std::string problem = binfile::Problem(image.bytes);
    if (!problem.empty()) {
        console.Status(console.Text(textid::kNoBinary));
        console.Error(image.sourcePath + ": " + problem);
        return false;
    }
    const std::string warning = binfile::Warning(image.bytes);
    if (!warning.empty()) console.Error("warning: " + image.sourcePath + ": " + warning);
    return true;
}

namespace {

// The console as the view of the download sequence: status lines and a progress line instead
// of the window's controls, one result line and one record per device, and the exit code.
class ConsoleView : public DownloadView {
  public:
    ConsoleView(const CliOptions& options, Console& console, ProductionLog& log,
                const FlashImage& image, std::string crc, std::string port)
        : options_(options),
          console_(console),
          log_(log),
          image_(image),
          crc_(std::move(crc)),
          port_(std::move(port)) {}

    DownloadSequence* sequence = nullptr;
    int programmed = 0;
    int failed = 0;                // devices that failed, and times the port went away
    int exitCode = exitcode::kOk;  // of the last device, or of the port that went away

    void SetCaption(const std::string&) override {}
    void SetStatus(const std::string& text) override { console_.Status(text); }
    void SetButtonCaption(Button, const std::string&) override {}
    void ShowButtons(bool) override {}
    void EnableQuit(bool) override {}
    void ShowBars(bool visible) override {
        if (!visible) console_.EndProgress();
    }
    // A phase's progress is told only once that phase has begun: the sequence zeroes both bars
    // when a device starts, before the clear.
    void SetBar(Bar bar, int value) override {
        if (phase_ != (bar == Bar::Clear ? Phase::Clearing : Phase::Transferring)) return;
        console_.Progress(static_cast<std::int16_t>(value), bar == Bar::Clear ? 3 : 5);
    }
    void ShowPicture(int) override {}
    void SetBusyTimer(bool running) override {
        phase_ = running ? Phase::Transferring : Phase::None;
    }
    int ChoosePort(const std::string&, const std::string&, const std::vector<PortChoice>&,
                   const std::string&) override {
        return 0;
    }
    bool ChooseBinaryFile(const std::string&, const std::string&, std::string&) override {
        return false;
    }
    void ShowMessage(const std::string&, const std::string& text) override { console_.Error(text); }
    void ShowAbout(const std::string&, const std::string&, const std::string&) override {}
    void ShowWindow() override {}
    void CloseMainWindow() override {}
    void CloseOtherWindows() override {}
    void DoEvents() override {}
    bool StopRequested() override {
        // The record of a device under way cannot wait for its pause before ".Q" to end.
        if (busy_ && interrupt::Terminating() && !recorded_) {
            Log("INTERRUPTED", 0, "", Steady::now() - startedAt_);
            recorded_ = true;
        }
        return interrupt::Received() != 0;
    }

    bool DeviceWanted() override {
        if (!options_.endless && started_ >= options_.count) return false;
        // After a wait with nobody at the line the request stands as it was.
        if (!idle_) console_.Status(console_.Text(textid::kPressButton));
        idle_ = false;
        firmware_.clear();
        return true;
    }
    bool DeviceStarted() override {
        phase_ = Phase::Clearing;
        ++started_;
        startedAt_ = Steady::now();
        // The version this device answered at its greeting, and no earlier device's.
        firmware_ = sequence->Device()->Serial().GreetingReply();
        busy_ = true;
        return true;
    }
    void PortLost() override {
        console_.Error(port_ + " is gone; waiting for it to come back");
        ++failed;
        exitCode = exitcode::kPortError;
        firmware_.clear();
        Log("PORT-LOST", errnum::kOpenFailed, "the port went away", Steady::duration::zero());
    }
    void PortBack() override { console_.Status(port_ + " is back"); }
    void DeviceEnded(DeviceResult result) override {
        phase_ = Phase::None;
        busy_ = false;
        const std::string tag =
            "Device " + std::to_string(result == DeviceResult::NoDevice ? started_ + 1 : started_);
        const clsError& error = sequence->Device()->LastError();
        const auto elapsed = result == DeviceResult::NoDevice ? Steady::duration::zero()
                                                              : Steady::now() - startedAt_;
        switch (result) {
            case DeviceResult::Idle:
                idle_ = true;
                return;
            case DeviceResult::Programmed:
                ++programmed;
                exitCode = exitcode::kOk;
                Log("OK", 0, "", elapsed);
                console_.Result(tag + " programmed: " + image_.name + ", " +
                                std::to_string(image_.bytes.size()) + " bytes, CRC-16 " + crc_ +
                                ", " + Seconds(elapsed) + " s");
                return;
            case DeviceResult::Interrupted:
                Log("INTERRUPTED", 0, "", elapsed);
                return;
            case DeviceResult::NoDevice:
                Failure(tag, "NO-DEVICE", exitcode::kNoDevice, error, elapsed);
                ++started_;  // the device that did not come counts as one of the run
                return;
            case DeviceResult::ClearFailed:
                Failure(tag, "CLEAR-FAILED", exitcode::kClearFailed, error, elapsed);
                return;
            case DeviceResult::TransferFailed:
                Failure(tag, "TRANSFER-FAILED", exitcode::kTransferFailed, error, elapsed);
                return;
        }
    }

  private:
    enum class Phase { None, Clearing, Transferring };

    // The record, with the firmware version the device gave at its greeting.
    void Log(const char* result, std::int32_t number, const std::string& text,
             Steady::duration elapsed) {
        if (std::exchange(recorded_, false)) return;  // recorded when the program was ended
        const std::string note =
            log_.Record(port_, image_, crc_, result, number, text, elapsed, firmware_);
        if (!note.empty()) console_.Error(note);
    }

    void Failure(const std::string& tag, const char* result, int code, const clsError& error,
                 Steady::duration elapsed) {
        console_.DeviceError(tag + " failed", error.Number(), error.Message());
        Log(result, error.Number(), error.Message(), elapsed);
        exitCode = code;
        ++failed;
    }

    const CliOptions& options_;
    Console& console_;
    ProductionLog& log_;
    const FlashImage& image_;
    std::string crc_;
    std::string port_;
    int started_ = 0;
    bool idle_ = false;
    std::string firmware_;   // the device under way answered this to ".V"
    bool busy_ = false;      // a device is under way
    bool recorded_ = false;  // and already recorded as interrupted
    Phase phase_ = Phase::None;
    Steady::time_point startedAt_{};
};

}  // namespace

int RunDownloadJob(const CliOptions& options, Console& console) {
    FlashImage image;
    if (!ResolveDownloadImage(options, console, image)) return exitcode::kBadInput;
    const std::string crc = ImageCrcText(image.bytes);

    ProductionLog log;
    std::string logError;
    if (!options.logPath.empty() && !log.Open(options.logPath, logError)) {
        console.Error(logError);
        return exitcode::kBadInput;
    }

    PortSession session(console);
    if (const int code = session.Open(options); code != exitcode::kOk) return code;
    console.Status("Image " + image.name + ": " + std::to_string(image.bytes.size()) +
                   " bytes, CRC-16 " + crc + ", port " + session.PortLabel());

    ConsoleView view(options, console, log, image, crc, session.PortLabel());
    DownloadSequence sequence(view, HeadlessSettings(options, options.endless));
    view.sequence = &sequence;
    // Loaded once: every device of the run gets the same bytes.
    sequence.RunHeadless(session.Release(), image.bytes);
    console.EndProgress();

    ReportUnwrittenRecords(log, options.logPath, console);
    if (interrupt::Received() != 0) {
        console.Status("Interrupted; " + std::to_string(view.programmed) +
                       " device(s) programmed.");
    } else if (options.count > 1 || options.endless) {
        console.Status(std::to_string(view.programmed) + " device(s) programmed.");
    }
    // The worst that happened: records lost, then devices that failed, then a stop. A run that
    // carries on after failures ends 12 when it programmed others as well.
    if (log.Missing()) return exitcode::kRecordsMissing;
    if (view.failed > 0 && options.endless && view.programmed > 0) return exitcode::kSomeFailed;
    if (view.failed > 0 && view.exitCode != exitcode::kOk) return view.exitCode;
    if (interrupt::Received() != 0) return interrupt::ExitCode();
    return view.exitCode;
}
