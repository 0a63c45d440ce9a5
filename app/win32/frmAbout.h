#pragma once

#include <windows.h>

#include <string>

#include "FormLook.h"
#include "PictureBox.h"

// The About box: shows the texts the main window composes (the application's version and,
// in brackets, the device object's version) and nothing else.
class frmAbout : private DialogForm {
  public:
    explicit frmAbout(HINSTANCE instance);

    // The name in the caption, "About <name>".
    void ExecutableName(const std::string& strName) { exeName_ = strName; }
    // Sets the caption and both labels, then shows the window modally, owned by `owner`;
    // returns when it closes.
    void ShowAbout(HWND owner, const std::string& strVersion, const std::string& strSubVersion);

  private:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void Form_Load();
    void ApplyScaling();
    void cmdOK_Click();

    HINSTANCE instance_;
    std::string exeName_;
    std::string version_;
    std::string subVersion_;
    PictureBox picLogo;
    PictureBox ingLogo;
    FontHandle versionFont_;
};
