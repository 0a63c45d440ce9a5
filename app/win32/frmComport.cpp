#include "frmComport.h"

#include <sstream>

#include "FormIds.h"
#include "SerialPort.h"
#include "Win32Text.h"

namespace {

constexpr int kPorts = 4;         // COM 1 to COM 4
constexpr int kPictureSide = 48;  // logical pixels

}  // namespace

frmComport::frmComport(HINSTANCE instance)
    : instance_(instance), ImgZapper(instance, kPictureSide, {IDB_ZapperSmall}) {
    for (int i = 0; i < kPorts; ++i) descriptions_[i] = ComPortDescription(i + 1);
}

void frmComport::SetupForm(std::int16_t intFirstAvail, const std::string& strComports,
                           const std::string& strTitle, const std::string& strOK) {
    title_ = strTitle;
    ok_ = strOK;
    if (intFirstAvail >= 0 && intFirstAvail < kPorts) {
        checked_.fill(false);
        checked_[intFirstAvail] = true;
    }
    enabled_.fill(false);
    std::istringstream list(strComports);
    for (std::string element; std::getline(list, element, ',');) {
        const bool digits = !element.empty() && element.size() < 6 &&
                            element.find_first_not_of("0123456789") == std::string::npos;
        const int port = digits ? std::stoi(element) : 0;
        if (port >= 1 && port <= kPorts) enabled_[port - 1] = true;
    }
}

void frmComport::ShowPortDetails(int index, const std::string& description,
                                 const std::string& whyNotFree) {
    if (index < 0 || index >= kPorts) return;
    descriptions_[index] = description;
    notes_[index] =
        whyNotFree.empty() ? std::string() : "Com " + std::to_string(index + 1) + ": " + whyNotFree;
}

void frmComport::Show(HWND owner) {
    DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_frmComport), owner, DialogProc, Self());
}

std::int16_t frmComport::Comport() const {
    for (int i = 0; i < kPorts; ++i) {
        if (checked_[i]) return static_cast<std::int16_t>(i + 1);
    }
    return 0;
}

INT_PTR frmComport::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            Form_Load();
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) cmdOK_Click();
            if (LOWORD(wParam) == IDCANCEL) Form_Unload();
            return TRUE;
        case WM_DRAWITEM:
            return ImgZapper.Draw(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)) ? TRUE : FALSE;
        case WM_DPICHANGED:
            // The dialog manager rescales the controls first; fonts and pictures follow.
            PostMessageW(hwnd_, WM_APP, 0, 0);
            return FALSE;
        case WM_APP:
            ApplyScaling();
            return TRUE;
        default:
            return FALSE;
    }
}

void frmComport::Form_Load() {
    SetText(hwnd_, title_);
    AddBoxButton(GetDlgItem(hwnd_, IDC_picOK), IDOK, true);
    SetText(BoxButton(GetDlgItem(hwnd_, IDC_picOK)), ok_);
    for (int i = 0; i < kPorts; ++i) {
        HWND option = GetDlgItem(hwnd_, IDC_optCom0 + i);
        SendMessageW(option, BM_SETCHECK, checked_[i] ? BST_CHECKED : BST_UNCHECKED, 0);
        EnableWindow(option, enabled_[i]);
        HWND device = GetDlgItem(hwnd_, IDC_lblDevice0 + i);
        SetText(device, descriptions_[i].empty() ? "no device" : descriptions_[i]);
        EnableWindow(device, enabled_[i]);
    }
    ApplyScaling();
    // The first free option takes the focus, so the keyboard can move from there.
    for (int i = 0; i < kPorts; ++i) {
        if (enabled_[i]) {
            SetFocus(GetDlgItem(hwnd_, IDC_optCom0 + i));
            break;
        }
    }
}

void frmComport::ApplyScaling() {
    font_ = MakeFormFont(WindowDpi(hwnd_));
    for (int i = 0; i < kPorts; ++i) {
        SendMessageW(GetDlgItem(hwnd_, IDC_optCom0 + i), WM_SETFONT,
                     reinterpret_cast<WPARAM>(font_.get()), TRUE);
    }
    SendMessageW(BoxButton(GetDlgItem(hwnd_, IDC_picOK)), WM_SETFONT,
                 reinterpret_cast<WPARAM>(font_.get()), TRUE);
    ImgZapper.Attach(GetDlgItem(hwnd_, IDC_ImgZapper));
    LayoutNotes();
}

// The notes take as many lines as they need; the OK button and the dialog's bottom follow.
void frmComport::LayoutNotes() {
    std::string text;
    for (const std::string& note : notes_) {
        if (note.empty()) continue;
        if (!text.empty()) text += "\n";
        text += note;
    }
    HWND notes = GetDlgItem(hwnd_, IDC_lblNotes);
    HWND box = GetDlgItem(hwnd_, IDC_picOK);
    SetText(notes, text);
    RECT label{};
    GetWindowRect(notes, &label);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&label), 2);
    RECT needed{0, 0, label.right - label.left, 0};
    if (!text.empty()) {
        HDC dc = GetDC(notes);
        HGDIOBJ old =
            SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(notes, WM_GETFONT, 0, 0)));
        const std::wstring wide = Widen(text);
        DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &needed,
                  DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
        SelectObject(dc, old);
        ReleaseDC(notes, dc);
    }
    ShowWindow(notes, text.empty() ? SW_HIDE : SW_SHOWNA);
    SetWindowPos(notes, nullptr, 0, 0, label.right - label.left, needed.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    RECT gap{0, 0, 0, 4};  // dialog units between the notes and the button
    MapDialogRect(hwnd_, &gap);
    RECT button{};
    GetWindowRect(box, &button);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&button), 2);
    const int top = label.top + needed.bottom + (text.empty() ? 0 : gap.bottom);
    SetWindowPos(box, nullptr, button.left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

    RECT margin{0, 0, 0, 7};
    MapDialogRect(hwnd_, &margin);
    RECT client{};
    GetClientRect(hwnd_, &client);
    RECT frame{};
    GetWindowRect(hwnd_, &frame);
    const int wantedClient = top + (button.bottom - button.top) + margin.bottom;
    SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left,
                 frame.bottom - frame.top + wantedClient - client.bottom,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void frmComport::KeepSelection() {
    for (int i = 0; i < kPorts; ++i) {
        checked_[i] =
            SendMessageW(GetDlgItem(hwnd_, IDC_optCom0 + i), BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
}

void frmComport::cmdOK_Click() {
    KeepSelection();
    EndDialog(hwnd_, IDOK);
}

// Closing by the close box unloads the dialog: what is read afterwards is its design, "Com 1".
void frmComport::Form_Unload() {
    checked_ = {{true, false, false, false}};
    EndDialog(hwnd_, IDCANCEL);
}
