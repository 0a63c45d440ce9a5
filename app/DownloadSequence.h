#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "DownloadView.h"
#include "SerialPort.h"

class clsFieldProgrammer;
class clsResFiles;
class SettingsStore;

// How a front end runs the sequence. The defaults are the window's.
struct SequenceSettings {
    // The downloader whose payload is read and whose name is shown; empty: this program.
    std::string executablePath;
    // Makes the port the device object uses; unset: the system's serial port.
    std::function<std::unique_ptr<SerialPort>()> makePort;
    std::int16_t waitRounds = 1000;  // rounds of 50 ms of the button wait (0: no limit)
    std::int64_t waitLimitMs = 0;    // and a time limit on that wait (0: none)
    int animationSteps = 10;         // picture changes of the success and failure animations
    // A headless station reports a failed device and awaits the next one instead of stopping
    // for Reset; a button wait that runs out with nobody at the line is then no failure.
    bool carryOnAfterFailure = false;
    // Where the window remembers the port that last programmed a device; unset: the user's
    // own settings (a headless run names its port and remembers nothing).
    std::shared_ptr<SettingsStore> userSettings;
};

// The downloader's start-up and download sequence: the payload and its language, the port
// choice, then rounds of button wait, flash clear, transfer and success until a failure or a
// stop, with Reset, Quit, About and the unload. It runs nested inside the handler that started
// it; every wait lets the view's message loop run, so the view's buttons and timer keep
// working, and mblnStopped is how their handlers tell the running sequence to end.
// The routines carry the names of the main window's routines they are.
class DownloadSequence {
  public:
    explicit DownloadSequence(DownloadView& view, SequenceSettings settings = {});
    ~DownloadSequence();
    DownloadSequence(const DownloadSequence&) = delete;
    DownloadSequence& operator=(const DownloadSequence&) = delete;

    // The window's start-up, ending in the download sequence.
    void Form_Load();
    // A headless start: the caller has opened the port of `device` and chosen the image.
    bool RunHeadless(std::unique_ptr<clsFieldProgrammer> device, std::vector<std::uint8_t> image);

    void MyLocalSerial_Progress(std::int16_t intPercent, std::int32_t intType);
    void WaitTimer_Timer();
    void cmdDescription_Click();
    void cmdQuit_Click();
    void cmdAbout_Click();
    void Form_Unload();

    bool Stopped() const { return mblnStopped; }
    bool ResetPending() const { return mblnResetPending; }
    bool Unloaded() const { return unloaded_; }
    std::int16_t Language() const { return mintLanguage; }
    std::int32_t ComPort() const { return mlngComPort; }
    int CurrentPicture() const { return picture_; }
    // The device object while the window is loaded (null before the start and after unload).
    clsFieldProgrammer* Device() const { return MyLocalSerial.get(); }
    // The executable's file name without extension, as the captions show it.
    std::string ExecutableName() const;
    // A text of the language block (its English id), in the payload's language.
    std::string Text(int intId) const;

  private:
    bool RunDownloadSequence();
    bool DownloadRounds();
    bool PrepareImage();
    bool WaitForDevice(bool afterProgrammed);
    bool SelectBinaryFile(std::string& strPath);
    bool ShowSuccess();
    bool ShowFailure();
    bool ToggleBusyPicture();
    bool ToggleFailedPicture();
    void ShowAboutBox();
    void ReleaseObjects();
    void ShowPicture(int intPicture);
    void ShowButtonsOnly();
    void DoEvents();
    void Pump();
    bool Failed(int textId, DeviceResult result, bool animationFirst = false);

    DownloadView& view_;
    SequenceSettings settings_;
    std::unique_ptr<clsResFiles> mobjResFiles;
    std::unique_ptr<clsFieldProgrammer> MyLocalSerial;
    std::shared_ptr<SettingsStore> userSettings_;
    int rememberedPort_ = 0;  // as stored at start-up or by the last device programmed
    std::vector<std::uint8_t> headlessImage_;
    bool headless_ = false;
    std::int16_t mintLanguage = 0;
    std::int32_t mlngComPort = 0;
    bool mblnStopped = false;
    bool mblnResetPending = false;

    bool busyToggle_ = false;
    bool failedToggle_ = false;
    int picture_ = 1;
    bool loaded_ = false;    // the start-up got past its first step
    bool unloaded_ = false;  // Form_Unload has run: nothing may touch the view any more
    int sequenceDepth_ = 0;  // running sequences (the device object stays alive meanwhile)
    bool pumping_ = false;
    bool pressRefused_ = false;  // the view did not take on the device whose button was pressed
    std::int64_t buttonDeadlineMs_ = 0;  // end of the running button wait, 0 for none
};
