#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FormLook.h"
#include "PictureBox.h"
#include "SequenceForm.h"

// The downloader's main window on Windows: a dialog from the resources and the native view
// of the download sequence. Form_Load is the whole start-up and runs the sequence nested
// inside itself; every wait of the sequence runs this window's message loop (DoEvents), so
// its buttons, its timer and its close box keep working while the device is at work.
class frmFieldProg : public SequenceForm, private DialogForm {
  public:
    explicit frmFieldProg(HINSTANCE instance);
    ~frmFieldProg() override;
    frmFieldProg(const frmFieldProg&) = delete;
    frmFieldProg& operator=(const frmFieldProg&) = delete;

    void Form_Load();
    // The ordinary message loop, for a window still open after the sequence ended (waiting for
    // Reset or Quit); returns when the window has closed.
    int MessageLoop();
    // False once the window has been unloaded (Quit, close box, or no free port).
    bool IsLoaded() const;

    // (The handlers MyLocalSerial_Progress, WaitTimer_Timer, cmdDescription_Click,
    // cmdQuit_Click and cmdAbout_Click come from SequenceForm.)

  private:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnInitDialog();
    void ApplyScaling();
    void Form_Unload();  // the close box, and Quit through CloseMainWindow
    HWND Item(int id) const;
    HWND ButtonIn(int boxId) const;
    // Hands one message to the window it is for.
    void Dispatch(MSG& message);

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

    HINSTANCE instance_;
    PictureBox ImgZapper;  // imgListZapper's pictures 1 ready, 2 busy, 3 failed
    FontHandle font_;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    bool quit_ = false;  // WM_QUIT was seen: the window is gone and the program ends
    int exitCode_ = 0;
};
