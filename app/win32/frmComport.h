#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>

#include "FormLook.h"
#include "PictureBox.h"

// The small modal dialog in which the user picks one of COM 1 to COM 4. Only the ports found
// free are enabled. Under each option stands the port's name on this machine (the friendly
// name Windows gives it), and below the options why each port that is not free is not.
class frmComport : private DialogForm {
  public:
    explicit frmComport(HINSTANCE instance);

    // Caption and OK text, preselects option intFirstAvail (0 to 3), then disables every
    // option and enables those listed in strComports ("1,3"). Selecting comes first, so the
    // preselected option stays selected even when its port is not free.
    void SetupForm(std::int16_t intFirstAvail, const std::string& strComports,
                   const std::string& strTitle, const std::string& strOK);
    // What port `index` (0 to 3) is on this machine and, when it is not free, why not.
    void ShowPortDetails(int index, const std::string& description, const std::string& whyNotFree);
    // Shows the dialog modally, owned by `owner`, until OK or its close box ends it.
    void Show(HWND owner);
    // The chosen port, 1 to 4; 0 when no option is selected.
    std::int16_t Comport() const;

  private:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void Form_Load();
    void LayoutNotes();
    void ApplyScaling();
    void cmdOK_Click();
    void Form_Unload();  // by the close box
    void KeepSelection();

    HINSTANCE instance_;
    std::string title_ = "Select Com Port";
    std::string ok_ = "OK";
    std::array<bool, 4> checked_{{true, false, false, false}};  // "Com 1" at design time
    std::array<bool, 4> enabled_{{true, true, true, true}};
    std::array<std::string, 4> descriptions_;
    std::array<std::string, 4> notes_;
    PictureBox ImgZapper;
    FontHandle font_;
};
