#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "SequenceForm.h"
#include "SerialPort.h"

class QCloseEvent;
class QShowEvent;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class clsFieldProgrammer;

// The downloader's main window on Linux: the Qt view of the download sequence. Form_Load is
// the whole start-up and runs the sequence nested inside itself; the window's controls and
// handlers keep the names the sequence knows them by, and every handler hands over to it.
class frmFieldProg : public QWidget, public SequenceForm {
    Q_OBJECT
  public:
    explicit frmFieldProg(QWidget* parent = nullptr);
    ~frmFieldProg() override;

    // --- Seams, set before Form_Load --------------------------------------------------------
    // Makes the serial port the device object will use; unset means the system's serial port.
    std::function<std::unique_ptr<SerialPort>()> MakePort;
    // The downloader file whose payload is read and whose name is shown; empty means the
    // running executable.
    std::string ExecutablePath;
    // The file-open dialog used when the payload holds no binary file: (parent, title,
    // initial folder, filter) -> chosen path, empty when cancelled. Unset means QFileDialog.
    std::function<QString(QWidget*, const QString&, const QString&, const QString&)> OpenFileDialog;

    // --- Start-up and the window's handlers ----------------------------------------------------
    // (The handlers MyLocalSerial_Progress, WaitTimer_Timer, cmdDescription_Click,
    // cmdQuit_Click and cmdAbout_Click come from SequenceForm.)
    void Form_Load();

    // --- State (Stopped, ResetPending, Language, ComPort, Device: SequenceForm) ---------------
    // False once the window has been unloaded (Quit, close box, or no free port).
    bool IsLoaded() const;
    // The picture ImgZapper shows: 1 ready, 2 busy, 3 failed.
    int CurrentPicture() const;
    // The executable's file name without extension, as the captions show it.
    QString ExecutableName() const;

    // --- Controls -----------------------------------------------------------------------------
    QWidget* picAbout = nullptr;
    QPushButton* cmdAbout = nullptr;
    QWidget* picQuit = nullptr;
    QPushButton* cmdQuit = nullptr;
    QWidget* picDescription = nullptr;
    QPushButton* cmdDescription = nullptr;
    QLabel* lblStatus = nullptr;
    QProgressBar* pbProgressClear = nullptr;
    QProgressBar* pbProgress = nullptr;
    QPixmap imgListZapper[3];  // ready, busy, failed (pictures 1 to 3)
    QLabel* ImgZapper = nullptr;
    QTimer* WaitTimer = nullptr;
    QFrame* lineWhite = nullptr;
    QFrame* lineBlack = nullptr;

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    // DownloadView
    void SetCaption(const std::string& text) override;
    void SetStatus(const std::string& text) override;
    void SetButtonCaption(Button button, const std::string& text) override;
    void ShowButtons(bool visible) override;
    void EnableQuit(bool enabled) override;
    void KeepKeyboardFocus();
    void ShowBars(bool visible) override;
    void SetBar(Bar bar, int value) override;
    void ShowPicture(int picture) override;
    void SetBusyTimer(bool running) override;
    int ChoosePort(const std::string& title, const std::string& ok,
                   const std::vector<PortChoice>& ports, const std::string& otherPorts) override;
    bool ChooseBinaryFile(const std::string& title, const std::string& folder,
                          std::string& path) override;
    void ShowMessage(const std::string& caption, const std::string& text) override;
    void ShowAbout(const std::string& program, const std::string& version,
                   const std::string& subVersion) override;
    void ShowWindow() override;
    void CloseMainWindow() override;
    void CloseOtherWindows() override;
    void DoEvents() override;

    void DrawPictures();

    int picture_ = 1;
};
