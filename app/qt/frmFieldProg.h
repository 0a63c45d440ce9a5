#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "SerialPort.h"

class QCloseEvent;
class QShowEvent;
class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;
class clsFieldProgrammer;
class clsResFiles;

// The downloader's main window. Form_Load is the whole start-up: it reads the payload, picks
// the language, lets the user choose a COM port and then runs the download sequence nested
// inside itself. Every device wait lets the Qt event loop run, so the buttons and the timer
// keep working while the sequence sits inside a device call; mblnStopped is how the button
// handlers tell the running sequence to end.
class frmFieldProg : public QWidget {
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
    void Form_Load();
    void MyLocalSerial_Progress(std::int16_t intPercent, std::int32_t intType);
    void WaitTimer_Timer();
    void cmdDescription_Click();
    void cmdQuit_Click();
    void cmdAbout_Click();

    // --- State --------------------------------------------------------------------------------
    bool Stopped() const { return mblnStopped; }
    bool ResetPending() const { return mblnResetPending; }
    std::int16_t Language() const { return mintLanguage; }
    std::int32_t ComPort() const { return mlngComPort; }
    // False once the window has been unloaded (Quit, close box, or no free port).
    bool IsLoaded() const { return !unloaded_; }
    // The picture ImgZapper shows: 1 ready, 2 busy, 3 failed.
    int CurrentPicture() const { return picture_; }
    // The device object while the window is loaded (null before Form_Load and after unload).
    clsFieldProgrammer* Device() const { return MyLocalSerial.get(); }
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
    bool IsPortFree(std::int32_t lngPort);
    bool RunDownloadSequence();
    bool DownloadRounds();
    bool SelectBinaryFile(QString& strPath);
    bool ShowSuccess();
    bool ShowFailure();
    bool ToggleBusyPicture();
    bool ToggleFailedPicture();
    void ShowAboutBox();
    void Form_Unload();
    void ReleaseObjects();

    void ShowPicture(int intPicture);
    void SetDescriptionCaption(const QString& strCaption);
    void ShowButtons();
    void ShowBars();
    void DoEvents();
    QString Text(int intId) const;
    QString ExecutableFolder() const;
    void DrawPictures();

    std::unique_ptr<clsResFiles> mobjResFiles;
    std::unique_ptr<clsFieldProgrammer> MyLocalSerial;
    std::int16_t mintLanguage = 0;
    std::int32_t mlngComPort = 0;
    bool mblnStopped = false;
    bool mblnResetPending = false;

    bool busyToggle_ = false;
    bool failedToggle_ = false;
    int picture_ = 1;
    bool loaded_ = false;    // Form_Load got past its first step
    bool unloaded_ = false;  // Form_Unload has run: nothing may touch the window any more
    int sequenceDepth_ = 0;  // running download sequences (the device object stays alive)
};
