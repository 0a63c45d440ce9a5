#include "DownloadSequence.h"

#include <utility>

#include "BinFile.h"
#include "FileSystem.h"
#include "OwnTexts.h"
#include "PortOffer.h"
#include "SettingsStore.h"
#include "StringTable.h"
#include "TextIds.h"
#include "Version.h"
#include "ZelSerialComms.h"
#include "clsFPMemory.h"
#include "clsFieldProgrammer.h"
#include "clsFilingFuncs.h"
#include "clsResFiles.h"
#include "clsTiming.h"

namespace {

constexpr int kAnimationStepMs = 100;  // pause between two pictures of an animation
constexpr int kProgressTypeClear = 3;  // progress of clearing the flash
constexpr int kPortRetryMs = 1000;     // a station looks for a vanished port this often
constexpr int kSwapRetryMs = 500;      // the window, after a device, looks for it this often
constexpr int kPollMs = 50;            // one round of the button wait

// Keeps the device object alive while a download sequence runs: a window closed in the middle
// of a device call releases its objects only once the call has returned.
class SequenceScope {
  public:
    SequenceScope(int& depth, std::function<void()> onLastExit)
        : depth_(depth), onLastExit_(std::move(onLastExit)) {
        ++depth_;
    }
    ~SequenceScope() {
        if (--depth_ == 0) onLastExit_();
    }
    SequenceScope(const SequenceScope&) = delete;
    SequenceScope& operator=(const SequenceScope&) = delete;

  private:
    int& depth_;
    std::function<void()> onLastExit_;
};

}  // namespace

DownloadSequence::DownloadSequence(DownloadView& view, SequenceSettings settings)
    : view_(view), settings_(std::move(settings)) {}

DownloadSequence::~DownloadSequence() {
    if (!loaded_) return;
    clsTiming::InstallMessagePump({});
    // Normally the unload has released everything already; this covers a sequence that ends
    // without one.
    mblnStopped = true;
    unloaded_ = true;
    ReleaseObjects();
}

// ---------------------------------------------------------------------------------------------
// Start-up

void DownloadSequence::Form_Load() {
    if (mblnStopped || unloaded_ || loaded_) return;
    loaded_ = true;
    // Every wait of the device object runs the view's message loop through this pump.
    clsTiming::InstallMessagePump([this] { Pump(); });

    mobjResFiles = std::make_unique<clsResFiles>(settings_.executablePath);
    mobjResFiles->GetReadMeData();
    mintLanguage = mobjResFiles->Language();
    // A language number without a text block would leave every caption empty.
    if (mintLanguage != textid::kEnglish && mintLanguage != textid::kFrench &&
        mintLanguage != textid::kGerman) {
        mintLanguage = textid::kEnglish;
    }

    const auto makePort = [this] {
        return settings_.makePort ? settings_.makePort() : MakeSystemSerialPort();
    };
    userSettings_ = settings_.userSettings;
    if (!userSettings_) userSettings_ = MakeUserSettings();
    const PortOffer offer = OfferPorts(makePort, mintLanguage, userSettings_.get());
    rememberedPort_ = offer.remembered;

    MyLocalSerial = std::make_unique<clsFieldProgrammer>(makePort());
    MyLocalSerial->Progress = [this](std::int16_t intPercent, std::int32_t intType) {
        MyLocalSerial_Progress(intPercent, intType);
    };
    if (!offer.AnyFree()) {
        view_.ShowMessage(ExecutableName(), Text(textid::kNoFreePort));
        mblnStopped = true;
        Form_Unload();
        return;
    }

    mlngComPort = view_.ChoosePort(Text(textid::kSelectPort), Text(textid::kOK), offer.ports,
                                   owntext::Text(owntext::kOtherPorts, mintLanguage));
    if (unloaded_) return;

    view_.SetCaption(ExecutableName() + " - COM " + std::to_string(mlngComPort));
    view_.SetBar(DownloadView::Bar::Other, 0);
    view_.SetBar(DownloadView::Bar::Clear, 0);
    view_.ShowBars(false);
    view_.ShowButtons(true);
    view_.SetButtonCaption(DownloadView::Button::Description, "");
    view_.SetButtonCaption(DownloadView::Button::Quit, Text(textid::kQuit));
    view_.SetButtonCaption(DownloadView::Button::About, Text(textid::kAbout));
    view_.SetStatus(Text(textid::kPressButton));
    mblnResetPending = false;
    mblnStopped = false;

    // Opened once the window is set up: a slow port lets the message loop run meanwhile, so the
    // window may be closed during the open, and the device object must outlive it.
    {
        SequenceScope scope(sequenceDepth_, [this] {
            if (unloaded_) ReleaseObjects();
        });
        MyLocalSerial->OpenCommPort(mlngComPort);
    }
    if (unloaded_) return;
    view_.ShowWindow();
    RunDownloadSequence();
}

bool DownloadSequence::RunHeadless(std::unique_ptr<clsFieldProgrammer> device,
                                   std::vector<std::uint8_t> image) {
    if (mblnStopped || unloaded_ || loaded_ || !device) return false;
    loaded_ = true;
    headless_ = true;
    clsTiming::InstallMessagePump([this] { Pump(); });
    MyLocalSerial = std::move(device);
    MyLocalSerial->Progress = [this](std::int16_t intPercent, std::int32_t intType) {
        MyLocalSerial_Progress(intPercent, intType);
    };
    headlessImage_ = std::move(image);
    return RunDownloadSequence();
}

// ---------------------------------------------------------------------------------------------
// Download sequence

bool DownloadSequence::RunDownloadSequence() {
    if (unloaded_ || !MyLocalSerial) return false;
    SequenceScope scope(sequenceDepth_, [this] {
        if (unloaded_) ReleaseObjects();
    });
    // An unexpected failure inside ends the sequence without a word, as its callers expect.
    try {
        return DownloadRounds();
    } catch (...) {
        return false;
    }
}

// After every device call the stop flag is tested: Quit or the close box may have unloaded
// the window while the call let the message loop run, and then the sequence ends quietly.
bool DownloadSequence::DownloadRounds() {
    if (!PrepareImage()) return false;
    view_.ShowBars(false);
    view_.ShowButtons(true);

    clsFPMemory& memory = MyLocalSerial->Memory();
    // The window comes round again only after a programmed device.
    for (bool again = false;; again = true) {
        if (!view_.DeviceWanted()) return false;
        if (!WaitForDevice(again)) {
            // A press that this front end does not want answered ends the sequence; a station
            // asks at the next DeviceWanted whether a place for it may still come free.
            if (pressRefused_ && !settings_.carryOnAfterFailure) return false;
            if (pressRefused_) continue;
            if (mblnStopped) return true;
            if (settings_.carryOnAfterFailure) {
                // A port that failed meanwhile is looked for again at the next wait.
                if (!MyLocalSerial->Serial().Port().Failed()) view_.DeviceEnded(DeviceResult::Idle);
                continue;
            }
            return Failed(textid::kNoConnection, DeviceResult::NoDevice, true);
        }
        if (mblnStopped || !view_.DeviceStarted()) return false;

        view_.SetBar(DownloadView::Bar::Other, 0);
        view_.SetBar(DownloadView::Bar::Clear, 0);
        view_.ShowBars(true);
        view_.ShowButtons(false);
        const bool cleared = memory.ClearFlashMemory();
        if (mblnStopped) {
            view_.DeviceEnded(DeviceResult::Interrupted);
            return false;
        }
        if (!cleared) {
            if (!Failed(textid::kClearFailed, DeviceResult::ClearFailed)) return false;
            continue;
        }

        view_.SetBusyTimer(true);
        const bool sent = memory.DownloadBinaryData();
        view_.SetBusyTimer(false);
        // A device whose transfer went through is programmed, stop or no stop. Its port is the
        // one the window offers first next time.
        if (sent) {
            view_.DeviceEnded(DeviceResult::Programmed);
            if (!headless_ && rememberedPort_ != mlngComPort) {
                RememberPort(userSettings_.get(), mlngComPort);
                rememberedPort_ = mlngComPort;
            }
        }
        if (mblnStopped) {
            if (!sent) view_.DeviceEnded(DeviceResult::Interrupted);
            return false;
        }
        if (!sent) {
            if (!Failed(textid::kDownloadFailed, DeviceResult::TransferFailed)) return false;
            continue;
        }

        ShowSuccess();
        if (mblnStopped) return false;
    }
}

// The image for this run: the payload's binary file, or one the user chooses. An image whose
// header counts more data than it holds is refused: the device would take the transfer's zero
// padding for the missing bytes.
bool DownloadSequence::PrepareImage() {
    clsFPMemory& memory = MyLocalSerial->Memory();
    bool carried = false;  // the image is the downloader's own payload
    if (headless_) {
        memory.AllFlashBankData(headlessImage_);
    } else {
        std::vector<std::uint8_t> bytData;
        if (mobjResFiles->GetBinaryData(bytData)) {
            memory.AllFlashBankData(bytData);
            carried = true;
        } else {
            view_.SetButtonCaption(DownloadView::Button::Description, "");
            std::string strPath;
            const bool chosen = SelectBinaryFile(strPath);
            if (unloaded_) return false;
            if (!chosen || !memory.LoadBinaryFile(strPath)) {
                view_.SetStatus(Text(textid::kNoBinary));
                ShowFailure();
                return false;
            }
        }
    }
    const std::string problem = binfile::Problem(memory.AllFlashBankData(), mintLanguage);
    if (problem.empty()) return true;
    if (!carried) {
        view_.SetStatus(Text(textid::kNoBinary));
        ShowFailure();
        return false;
    }
    // The payload reads the same at every Reset, so Reset could only fail again: the
    // technician is told why and that this downloader must be replaced, and only Quit is left.
    view_.SetStatus(owntext::Format(owntext::kDamagedDownloader, mintLanguage, {problem}));
    ShowFailure();
    mblnResetPending = false;
    if (!unloaded_) view_.SetButtonCaption(DownloadView::Button::Description, "");
    return false;
}

// The button wait. A port used since it was opened is opened afresh first, so that plugging a
// pulled adaptor back in and pressing Reset is enough; a station keeps looking for it. After a
// programmed device the window looks for it as long as it would wait for the button: a device
// with its own USB adaptor takes the port with it, and the next one brings it back. Otherwise
// (after Reset) the window gives up on a port that is not there rather than wait on nothing.
bool DownloadSequence::WaitForDevice(bool afterProgrammed) {
    Clock& clock = clsTiming::CurrentClock();
    std::int64_t waitMs = settings_.waitRounds > 0 ? settings_.waitRounds * kPollMs : 0;
    if (settings_.waitLimitMs > 0 && (waitMs == 0 || settings_.waitLimitMs < waitMs))
        waitMs = settings_.waitLimitMs;
    const std::int64_t giveUpAt = clock.NowMs() + waitMs;
    const bool patient = settings_.carryOnAfterFailure || afterProgrammed;
    bool lost = false;
    bool open = false;
    while (!(open = MyLocalSerial->ReopenCommPort()) && patient) {
        if (!lost) view_.PortLost();
        lost = true;
        if (!settings_.carryOnAfterFailure && waitMs > 0 && clock.NowMs() >= giveUpAt) break;
        MyLocalSerial->SleepFor(settings_.carryOnAfterFailure ? kPortRetryMs : kSwapRetryMs);
        if (mblnStopped || unloaded_) return false;
    }
    if (lost) view_.PortBack();
    // Opening lets the message loop run, so Quit may have been clicked meanwhile.
    if (!open || mblnStopped || unloaded_) return false;
    if (settings_.waitLimitMs > 0) {
        buttonDeadlineMs_ = clsTiming::CurrentClock().NowMs() + settings_.waitLimitMs;
    }
    // The front end takes the device on before the greeting: a device it does not want (a
    // station's count is reached) is never spoken to.
    pressRefused_ = false;
    const bool answered = MyLocalSerial->WaitForFieldProgrammer(settings_.waitRounds, [this] {
        pressRefused_ = !view_.DeviceClaimed();
        return !pressRefused_;
    });
    buttonDeadlineMs_ = 0;
    return answered;
}

// A failure of a round: its status text and the failure indication. False when the sequence
// ends here (the window then waits for Reset); a station carries on with the next device.
bool DownloadSequence::Failed(int textId, DeviceResult result, bool animationFirst) {
    view_.SetBusyTimer(false);
    if (animationFirst) {
        ShowFailure();
        if (!unloaded_) view_.SetStatus(Text(textId));
    } else {
        view_.SetStatus(Text(textId));
        ShowFailure();
    }
    view_.DeviceEnded(result);
    if (!settings_.carryOnAfterFailure || unloaded_ || view_.StopRequested()) return false;
    mblnStopped = false;
    mblnResetPending = false;
    view_.SetButtonCaption(DownloadView::Button::Description, "");
    return true;
}

bool DownloadSequence::SelectBinaryFile(std::string& strPath) {
    const std::string exe = settings_.executablePath.empty() ? FileSystem::RunningExecutablePath()
                                                             : settings_.executablePath;
    std::string folder = clsFilingFuncs().PathName(exe);
    if (folder.size() > 1) folder.pop_back();  // the separator, but not a root's only one
    return view_.ChooseBinaryFile("Select Binary File", folder, strPath);
}

bool DownloadSequence::ShowSuccess() {
    view_.EnableQuit(false);
    for (int i = 0; i < settings_.animationSteps && !unloaded_; ++i) {
        ToggleBusyPicture();
        MyLocalSerial->SleepFor(kAnimationStepMs);
        DoEvents();
    }
    if (unloaded_) return true;
    ShowPicture(1);
    ShowButtonsOnly();
    view_.EnableQuit(true);
    return true;
}

bool DownloadSequence::ShowFailure() {
    view_.EnableQuit(false);
    view_.SetBusyTimer(false);
    ShowButtonsOnly();
    mblnStopped = true;
    mblnResetPending = true;
    view_.SetButtonCaption(DownloadView::Button::Description, Text(textid::kReset));
    for (int i = 0; i < settings_.animationSteps && !unloaded_; ++i) {
        ToggleFailedPicture();
        MyLocalSerial->SleepFor(kAnimationStepMs);
        DoEvents();
    }
    if (unloaded_) return true;
    ShowPicture(3);
    view_.EnableQuit(true);
    return true;
}

bool DownloadSequence::ToggleBusyPicture() {
    DoEvents();
    ShowPicture(busyToggle_ ? 1 : 2);
    DoEvents();
    busyToggle_ = !busyToggle_;
    return true;
}

bool DownloadSequence::ToggleFailedPicture() {
    DoEvents();
    ShowPicture(failedToggle_ ? 1 : 3);
    DoEvents();
    failedToggle_ = !failedToggle_;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Handlers

void DownloadSequence::WaitTimer_Timer() {
    if (!unloaded_) ToggleBusyPicture();
}

void DownloadSequence::MyLocalSerial_Progress(std::int16_t intPercent, std::int32_t intType) {
    if (unloaded_ || intPercent < 0 || intPercent > 100) return;
    view_.SetBar(
        intType == kProgressTypeClear ? DownloadView::Bar::Clear : DownloadView::Bar::Other,
        intPercent);
}

void DownloadSequence::cmdDescription_Click() {
    if (!mblnResetPending || unloaded_) return;
    // The Reset button appears while the failure animation of the ending sequence still runs;
    // a click then must not start a second sequence inside the first.
    if (sequenceDepth_ > 0) return;
    view_.SetButtonCaption(DownloadView::Button::Description, "");
    mblnResetPending = false;
    mblnStopped = false;
    view_.SetStatus(Text(textid::kPressButton));
    ShowPicture(1);
    RunDownloadSequence();
}

void DownloadSequence::cmdQuit_Click() {
    mblnStopped = true;
    if (MyLocalSerial) MyLocalSerial->ExitWaitForFieldProgrammer();
    view_.CloseMainWindow();
}

void DownloadSequence::cmdAbout_Click() {
    if (!unloaded_ && MyLocalSerial) ShowAboutBox();
}

void DownloadSequence::ShowAboutBox() {
    const std::string strVersion = std::to_string(fieldprog_version::kMajor) + "." +
                                   std::to_string(fieldprog_version::kMinor) + "." +
                                   std::to_string(fieldprog_version::kRevision);
    const std::string strSubVersion = "(" + MyLocalSerial->Version() + ")";
    view_.ShowAbout(ExecutableName(), strVersion, strSubVersion);
}

// ---------------------------------------------------------------------------------------------
// Unload

void DownloadSequence::Form_Unload() {
    if (unloaded_) return;
    unloaded_ = true;
    view_.SetBusyTimer(false);
    if (!mblnStopped) {
        mblnStopped = true;
        if (MyLocalSerial) MyLocalSerial->ExitWaitForFieldProgrammer();
    }
    // Nothing more may reach the device: a device call still running must not open the port
    // again to send its next command.
    if (MyLocalSerial) MyLocalSerial->Serial().CloseForGood();
    view_.CloseOtherWindows();
    if (sequenceDepth_ == 0) ReleaseObjects();
}

void DownloadSequence::ReleaseObjects() {
    // A device call that ran on after the unload may have opened the port again.
    if (MyLocalSerial) MyLocalSerial->CloseCommPort();
    mobjResFiles.reset();
    MyLocalSerial.reset();
}

// ---------------------------------------------------------------------------------------------
// Helpers

void DownloadSequence::ShowPicture(int intPicture) {
    if (intPicture < 1 || intPicture > 3 || unloaded_) return;
    picture_ = intPicture;
    view_.ShowPicture(intPicture);
}

void DownloadSequence::ShowButtonsOnly() {
    view_.ShowBars(false);
    view_.ShowButtons(true);
}

void DownloadSequence::DoEvents() {
    clsTiming().DoEvents();
}

// Runs the view's message loop for every wait. A stop asked for from outside, or the end of a
// limited button wait, is turned into a request to the link to give up; it is repeated at
// every round, since each new command clears it.
void DownloadSequence::Pump() {
    if (pumping_) return;
    pumping_ = true;
    view_.DoEvents();
    const bool stop = view_.StopRequested();
    if (stop) mblnStopped = true;
    const bool late =
        buttonDeadlineMs_ != 0 && clsTiming::CurrentClock().NowMs() >= buttonDeadlineMs_;
    if ((stop || late) && MyLocalSerial) MyLocalSerial->ExitWaitForFieldProgrammer();
    pumping_ = false;
}

std::string DownloadSequence::Text(int intId) const {
    return LoadResString(intId + mintLanguage);
}

std::string DownloadSequence::ExecutableName() const {
    const std::string path = settings_.executablePath.empty() ? FileSystem::RunningExecutablePath()
                                                              : settings_.executablePath;
    return clsFilingFuncs().FileNameNoExtension(path);
}
