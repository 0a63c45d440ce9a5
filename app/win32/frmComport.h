#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "FormLook.h"
#include "PictureBox.h"

// The small modal dialog in which the user picks a COM port: COM 1 to COM 4, and below them
// the present ports above COM 4. Only the ports found free are enabled. Under each option
// stands the port's name on this machine (the friendly name Windows gives it), and below the
// options why each port that is not free is not. Every free option is a tab stop, the arrow
// keys move between them, and the preselected one has the focus, so Enter takes it. When the
// options of the ports above COM 4 would reach past the screen's work area, those ports are a
// list instead (free ones first, each with what it is or why it is not free), so that the
// whole dialog and its OK button stay on the screen.
class frmComport : private DialogForm {
  public:
    explicit frmComport(HINSTANCE instance);

    // Adds an option for port `number` (above 4) below the first four, under `label`; its
    // index. Ports are added before SetupForm.
    int AddPort(int number, const std::string& label);
    // Caption and OK text, preselects option intFirstAvail, then disables every option and
    // enables those whose port is listed in strComports ("1,3,7"). Selecting comes first, so
    // the preselected option stays selected even when its port is not free.
    void SetupForm(std::int16_t intFirstAvail, const std::string& strComports,
                   const std::string& strTitle, const std::string& strOK);
    // What the port of option `index` is on this machine and, when it is not free, why not.
    void ShowPortDetails(int index, const std::string& description, const std::string& whyNotFree);
    // Shows the dialog modally, owned by `owner`, until OK or its close box ends it.
    void Show(HWND owner);
    // The chosen port number; 0 when no option is selected.
    std::int16_t Comport() const;

    // The control numbers of option `index` and of the label under it.
    static int OptionId(int index);
    static int DeviceId(int index);

  private:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool Form_Load();
    void AddOtherPortControls();
    void AddOtherPortList(int top, int height);
    int NotesHeight(const std::string& text, int width) const;
    void LayoutNotes();
    void KeepOnScreen();
    void OnListChange();
    void ApplyScaling();
    void cmdOK_Click();
    void Form_Unload();  // by the close box
    void KeepSelection();
    int Options() const { return static_cast<int>(numbers_.size()); }

    HINSTANCE instance_;
    std::string title_ = "Select Com Port";
    std::string ok_ = "OK";
    std::string otherPorts_;
    std::vector<int> numbers_{1, 2, 3, 4};
    std::vector<bool> checked_{true, false, false, false};  // "Com 1" at design time
    std::vector<bool> enabled_{true, true, true, true};
    std::vector<std::string> descriptions_{4};
    std::vector<std::string> notes_{4};
    HWND list_ = nullptr;      // the list of the ports above COM 4, when they are one
    std::vector<int> listed_;  // the option each entry of the list stands for
    int listSelection_ = -1;
    PictureBox ImgZapper;
    FontHandle font_;
};
