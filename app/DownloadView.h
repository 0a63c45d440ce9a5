#pragma once

#include <string>
#include <vector>

#include "SerialPort.h"

// One COM port as the port dialog offers it.
struct PortChoice {
    int number = 0;           // 1 to 4, then the present ports above COM 4
    bool free = false;        // it could be opened at start-up
    std::string description;  // what it is on this machine: a device path, a friendly name
    std::string whyNotFree;   // for a port that is not free: what opening it said
    std::string device;       // the device it maps to ("/dev/ttyUSB0", "\\.\COM7")
    PortOpenStatus status = PortOpenStatus::NoDevice;  // what opening it said
    bool usbAdaptor = false;   // a USB serial adaptor rather than a port built into the PC
    bool preselected = false;  // the option selected when the dialog opens
};

// How one device's round ended, for front ends that keep records.
enum class DeviceResult {
    Programmed,
    Idle,  // the button wait ran out with nobody at the line (a station waits again)
    NoDevice,
    ClearFailed,
    TransferFailed,
    Interrupted,  // stopped from outside while the device was being worked on
};

// Everything the download sequence does to the window it runs in. The Qt window, the native
// Windows window and the console of fieldprog-cli each implement it; the sequence itself
// knows nothing of any of them.
class DownloadView {
  public:
    enum class Button { Description, Quit, About };  // cmdDescription, cmdQuit, cmdAbout
    enum class Bar { Clear, Other };                 // pbProgressClear, pbProgress

    virtual ~DownloadView() = default;

    virtual void SetCaption(const std::string& text) = 0;  // the main window's caption
    virtual void SetStatus(const std::string& text) = 0;   // lblStatus
    virtual void SetButtonCaption(Button button, const std::string& text) = 0;
    // picDescription, picQuit and picAbout together.
    virtual void ShowButtons(bool visible) = 0;
    virtual void EnableQuit(bool enabled) = 0;  // picQuit
    virtual void ShowBars(bool visible) = 0;    // both progress bars
    virtual void SetBar(Bar bar, int value) = 0;
    virtual void ShowPicture(int picture) = 0;  // 1 ready, 2 busy, 3 failed
    // WaitTimer: while it runs, the view calls the sequence's WaitTimer_Timer every 250 ms.
    virtual void SetBusyTimer(bool running) = 0;

    // The modal port dialog (title, button caption, COM 1 to COM 4 and then the present ports
    // above them under `otherPorts`, their label), with the port marked preselected selected
    // and focused. The chosen port number, or 1 when the dialog was closed by its close box.
    virtual int ChoosePort(const std::string& title, const std::string& ok,
                           const std::vector<PortChoice>& ports, const std::string& otherPorts) = 0;
    // The file-open dialog for a .BIN file, starting in `folder`. False when cancelled.
    virtual bool ChooseBinaryFile(const std::string& title, const std::string& folder,
                                  std::string& path) = 0;
    // A modal message box with the exclamation icon and an OK button.
    virtual void ShowMessage(const std::string& caption, const std::string& text) = 0;
    // The About box, modal; `program` is the executable's name for its caption.
    virtual void ShowAbout(const std::string& program, const std::string& version,
                           const std::string& subVersion) = 0;

    virtual void ShowWindow() = 0;
    // Closes the main window; its close handler then calls the sequence's Form_Unload.
    virtual void CloseMainWindow() = 0;
    // Closes every other window of the application, newest first.
    virtual void CloseOtherWindows() = 0;
    // Lets the message loop run once.
    virtual void DoEvents() = 0;
    // A stop asked for from outside the window (Ctrl-C, the end of a station's run).
    virtual bool StopRequested() { return false; }

    // Headless front ends count and record devices; a window needs none of this.
    // Asked before each button wait: false ends the sequence.
    virtual bool DeviceWanted() { return true; }
    // A device's button was pressed; asked before anything is sent to it. False: it is not to
    // be programmed (a station whose count is taken up by devices on other ports), it is never
    // spoken to, and the sequence ends (one that carries on after failures asks DeviceWanted
    // again).
    virtual bool DeviceClaimed() { return true; }
    // The device answered its button press. False: it is not to be programmed (a station
    // whose devices are all done or under way elsewhere), and the sequence ends.
    virtual bool DeviceStarted() { return true; }
    virtual void DeviceEnded(DeviceResult result) { (void)result; }
    // A station's port vanished (an adaptor pulled out) and is looked for again every second;
    // it came back.
    virtual void PortLost() {}
    virtual void PortBack() {}
};
