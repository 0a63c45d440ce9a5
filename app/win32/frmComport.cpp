#include "frmComport.h"

#include <algorithm>
#include <sstream>

#include "FormIds.h"
#include "SerialPort.h"
#include "Win32Text.h"

namespace {

constexpr int kPorts = 4;                // COM 1 to COM 4 always have an option
constexpr int kMorePorts = 200;          // options for ports above COM 4, at most
constexpr int kMoreRowHeight = 24;       // dialog units: an option and the label under it
constexpr int kPictureSide = 48;         // logical pixels
constexpr int kListRowHeight = 10;       // dialog units: one entry of the list of other ports
constexpr int kBelowNotes = 4 + 16 + 7;  // dialog units: gap, OK's box and the bottom margin

// Dialog units down to pixels, for the dialog's font and DPI.
int UnitsDown(HWND dialog, int units) {
    RECT r{0, 0, 0, units};
    MapDialogRect(dialog, &r);
    return r.bottom;
}
int UnitsAcross(HWND dialog, int units) {
    RECT r{0, 0, units, 0};
    MapDialogRect(dialog, &r);
    return r.right;
}

// The work area of the screen the window is on: the screen without the taskbar.
RECT WorkArea(HWND window) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info);
    return info.rcWork;
}

}  // namespace

frmComport::frmComport(HINSTANCE instance)
    : instance_(instance), ImgZapper(instance, kPictureSide, {IDB_ZapperSmall}) {}

int frmComport::OptionId(int index) {
    return index < kPorts ? IDC_optCom0 + index : IDC_optComMore0 + index - kPorts;
}

int frmComport::DeviceId(int index) {
    return index < kPorts ? IDC_lblDevice0 + index : IDC_lblDeviceMore0 + index - kPorts;
}

int frmComport::AddPort(int number, const std::string& label) {
    if (Options() >= kPorts + kMorePorts) return -1;
    otherPorts_ = label;
    numbers_.push_back(number);
    checked_.push_back(false);
    enabled_.push_back(true);
    descriptions_.emplace_back();
    notes_.emplace_back();
    return Options() - 1;
}

void frmComport::SetupForm(std::int16_t intFirstAvail, const std::string& strComports,
                           const std::string& strTitle, const std::string& strOK) {
    title_ = strTitle;
    ok_ = strOK;
    if (intFirstAvail >= 0 && intFirstAvail < Options()) {
        checked_.assign(checked_.size(), false);
        checked_[intFirstAvail] = true;
    }
    enabled_.assign(enabled_.size(), false);
    std::istringstream list(strComports);
    for (std::string element; std::getline(list, element, ',');) {
        const bool digits = !element.empty() && element.size() < 6 &&
                            element.find_first_not_of("0123456789") == std::string::npos;
        const int port = digits ? std::stoi(element) : 0;
        for (int i = 0; i < Options(); ++i) {
            if (numbers_[i] == port) enabled_[i] = true;
        }
    }
}

void frmComport::ShowPortDetails(int index, const std::string& description,
                                 const std::string& whyNotFree) {
    if (index < 0 || index >= Options()) return;
    descriptions_[index] = description;
    notes_[index] = whyNotFree.empty()
                        ? std::string()
                        : "Com " + std::to_string(numbers_[index]) + ": " + whyNotFree;
}

void frmComport::Show(HWND owner) {
    DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_frmComport), owner, DialogProc, Self());
}

std::int16_t frmComport::Comport() const {
    for (int i = 0; i < Options(); ++i) {
        if (checked_[i]) return static_cast<std::int16_t>(numbers_[i]);
    }
    return 0;
}

INT_PTR frmComport::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            // FALSE when the form has placed the focus itself, so the dialog manager keeps it.
            return Form_Load() ? FALSE : TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK) cmdOK_Click();
            if (LOWORD(wParam) == IDCANCEL) Form_Unload();
            if (list_ != nullptr && LOWORD(wParam) == IDC_lstOtherPorts &&
                HIWORD(wParam) == LBN_SELCHANGE) {
                OnListChange();
            }
            // An option of COM 1 to COM 4 taken: the list lets go of its port.
            if (list_ != nullptr && LOWORD(wParam) >= IDC_optCom0 &&
                LOWORD(wParam) < IDC_optCom0 + kPorts && HIWORD(wParam) == BN_CLICKED) {
                listSelection_ = -1;
                SendMessageW(list_, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
            }
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

// The options of the ports above COM 4 go in a column below the first four, in the same
// group of options (right after "Com 4" in the tab order), so the arrow keys reach them too.
// When that column, the notes and OK would reach past the screen's work area, the ports above
// COM 4 become a list of the height that is left.
void frmComport::AddOtherPortControls() {
    if (Options() == kPorts) return;
    const auto place = [this](HWND control, int x, int y, int width, int height) {
        RECT r{x, y, x + width, y + height};
        MapDialogRect(hwnd_, &r);
        SetWindowPos(control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    };
    const auto make = [this](const wchar_t* kind, DWORD style, int id) {
        return CreateWindowExW(0, kind, L"", WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, hwnd_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_,
                               nullptr);
    };
    const HFONT plain = reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0));
    HWND label = make(L"STATIC", SS_NOPREFIX | SS_LEFT, IDC_lblOtherPorts);
    SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(plain), FALSE);
    SetText(label, otherPorts_);
    place(label, 50, 58, 176, 9);

    RECT frame{}, client{};
    GetWindowRect(hwnd_, &frame);
    GetClientRect(hwnd_, &client);
    const RECT work = WorkArea(hwnd_);
    const int room = (work.bottom - work.top) - ((frame.bottom - frame.top) - client.bottom);
    const int notesWidth = UnitsAcross(hwnd_, 222);
    std::string allNotes, firstNotes;
    for (int i = 0; i < Options(); ++i) {
        if (notes_[i].empty()) continue;
        allNotes += notes_[i] + "\n";
        if (i < kPorts) firstNotes += notes_[i] + "\n";
    }
    const int column = UnitsDown(hwnd_, 70 + kMoreRowHeight * (Options() - kPorts));
    if (column + NotesHeight(allNotes, notesWidth) + UnitsDown(hwnd_, kBelowNotes) > room) {
        const int top = UnitsDown(hwnd_, 70);
        const int left =
            room - top - NotesHeight(firstNotes, notesWidth) - UnitsDown(hwnd_, kBelowNotes + 2);
        const int most = UnitsDown(hwnd_, kListRowHeight * (Options() - kPorts) + 4);
        AddOtherPortList(top, std::min(most, std::max(left, UnitsDown(hwnd_, 3 * kListRowHeight))));
        return;
    }
    HWND previous = GetDlgItem(hwnd_, OptionId(kPorts - 1));
    int y = 70;
    for (int i = kPorts; i < Options(); ++i, y += kMoreRowHeight) {
        HWND option = make(L"BUTTON", BS_AUTORADIOBUTTON, OptionId(i));
        SetText(option, "Com " + std::to_string(numbers_[i]));
        SetWindowPos(option, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        place(option, 50, y, 176, 11);
        previous = option;
        HWND device = make(L"STATIC", SS_NOPREFIX | SS_ENDELLIPSIS | SS_LEFT, DeviceId(i));
        SendMessageW(device, WM_SETFONT, reinterpret_cast<WPARAM>(plain), FALSE);
        place(device, 61, y + 12, 165, 9);
    }
    place(GetDlgItem(hwnd_, IDC_lblNotes), 7, y + 1, 222, 8);
}

// The free ports first, so that the arrow keys run over the ports that can be chosen; each
// entry says what its port is, or why it cannot be had.
void frmComport::AddOtherPortList(int top, int height) {
    list_ = CreateWindowExW(WS_EX_CLIENTEDGE, L"LISTBOX", L"",
                            WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | WS_GROUP |
                                LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                            0, 0, 0, 0, hwnd_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_lstOtherPorts)),
                            instance_, nullptr);
    SendMessageW(list_, WM_SETFONT, SendMessageW(hwnd_, WM_GETFONT, 0, 0), FALSE);
    SetWindowPos(list_, GetDlgItem(hwnd_, OptionId(kPorts - 1)), UnitsAcross(hwnd_, 50), top,
                 UnitsAcross(hwnd_, 176), height, SWP_NOACTIVATE);
    for (const bool free : {true, false}) {
        for (int i = kPorts; i < Options(); ++i) {
            if (enabled_[i] != free) continue;
            const std::string text =
                free ? "Com " + std::to_string(numbers_[i]) + "   " + descriptions_[i]
                : notes_[i].empty() ? "Com " + std::to_string(numbers_[i])
                                    : notes_[i];
            SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(text).c_str()));
            if (free && checked_[i]) listSelection_ = static_cast<int>(listed_.size());
            listed_.push_back(i);
        }
    }
    SendMessageW(list_, LB_SETCURSEL, static_cast<WPARAM>(listSelection_), 0);
    RECT notes{7, 0, 229, 8};
    MapDialogRect(hwnd_, &notes);
    SetWindowPos(GetDlgItem(hwnd_, IDC_lblNotes), nullptr, notes.left,
                 top + height + UnitsDown(hwnd_, 2), notes.right - notes.left,
                 notes.bottom - notes.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

// A port of the list taken: the options of COM 1 to COM 4 let go of theirs. An entry whose
// port is not free cannot be taken: the selection goes back to where it was.
void frmComport::OnListChange() {
    const auto picked = static_cast<int>(SendMessageW(list_, LB_GETCURSEL, 0, 0));
    if (picked < 0 || picked >= static_cast<int>(listed_.size()) || !enabled_[listed_[picked]]) {
        SendMessageW(list_, LB_SETCURSEL, static_cast<WPARAM>(listSelection_), 0);
        return;
    }
    listSelection_ = picked;
    for (int i = 0; i < kPorts; ++i) {
        SendMessageW(GetDlgItem(hwnd_, OptionId(i)), BM_SETCHECK, BST_UNCHECKED, 0);
    }
}

bool frmComport::Form_Load() {
    SetText(hwnd_, title_);
    AddBoxButton(GetDlgItem(hwnd_, IDC_picOK), IDOK, true);
    SetText(BoxButton(GetDlgItem(hwnd_, IDC_picOK)), ok_);
    AddOtherPortControls();
    for (int i = 0; i < (list_ != nullptr ? kPorts : Options()); ++i) {
        HWND option = GetDlgItem(hwnd_, OptionId(i));
        SendMessageW(option, BM_SETCHECK, checked_[i] ? BST_CHECKED : BST_UNCHECKED, 0);
        EnableWindow(option, enabled_[i]);
        // Every free option is a tab stop: with only the first one, a busy COM 1 would leave
        // the whole group out of the keyboard's reach.
        const LONG_PTR style = GetWindowLongPtrW(option, GWL_STYLE);
        SetWindowLongPtrW(option, GWL_STYLE,
                          enabled_[i] ? style | WS_TABSTOP : style & ~LONG_PTR{WS_TABSTOP});
        HWND device = GetDlgItem(hwnd_, DeviceId(i));
        SetText(device, descriptions_[i]);
        EnableWindow(device, enabled_[i]);
    }
    ApplyScaling();
    // The selected option takes the focus when it is free, else the first free one.
    int focus = -1;
    for (int i = 0; i < Options() && focus < 0; ++i) {
        if (checked_[i] && enabled_[i]) focus = i;
    }
    for (int i = 0; i < Options() && focus < 0; ++i) {
        if (enabled_[i]) focus = i;
    }
    if (focus < 0) return false;
    SetFocus(list_ != nullptr && focus >= kPorts ? list_ : GetDlgItem(hwnd_, OptionId(focus)));
    return true;
}

void frmComport::ApplyScaling() {
    font_ = MakeFormFont(WindowDpi(hwnd_));
    for (int i = 0; i < Options(); ++i) {
        SendMessageW(GetDlgItem(hwnd_, OptionId(i)), WM_SETFONT,
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
    for (int i = 0; i < Options(); ++i) {
        // The list says itself why its ports are not free.
        if (notes_[i].empty() || (list_ != nullptr && i >= kPorts)) continue;
        if (!text.empty()) text += "\n";
        text += notes_[i];
    }
    HWND notes = GetDlgItem(hwnd_, IDC_lblNotes);
    HWND box = GetDlgItem(hwnd_, IDC_picOK);
    SetText(notes, text);
    RECT label{};
    GetWindowRect(notes, &label);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&label), 2);
    const RECT needed{0, 0, label.right - label.left, NotesHeight(text, label.right - label.left)};
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
    KeepOnScreen();
}

// The height the notes take in pixels at `width`, wrapped as the label wraps them.
int frmComport::NotesHeight(const std::string& text, int width) const {
    if (text.empty()) return 0;
    HWND notes = GetDlgItem(hwnd_, IDC_lblNotes);
    RECT needed{0, 0, width, 0};
    HDC dc = GetDC(notes);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(notes, WM_GETFONT, 0, 0)));
    const std::wstring wide = Widen(text);
    DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &needed,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(notes, dc);
    return needed.bottom;
}

// Centred on its owner, a dialog grown downwards may reach below the work area: moved up into
// it (and never above its top).
void frmComport::KeepOnScreen() {
    RECT frame{};
    GetWindowRect(hwnd_, &frame);
    const RECT work = WorkArea(hwnd_);
    int top = frame.top;
    if (frame.bottom > work.bottom) top -= frame.bottom - work.bottom;
    top = std::max<int>(top, work.top);
    int left = std::min<int>(frame.left, work.right - (frame.right - frame.left));
    left = std::max<int>(left, work.left);
    if (top != frame.top || left != frame.left) {
        SetWindowPos(hwnd_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void frmComport::KeepSelection() {
    for (int i = 0; i < Options(); ++i) {
        checked_[i] =
            list_ != nullptr && i >= kPorts
                ? listSelection_ >= 0 && listed_[static_cast<std::size_t>(listSelection_)] == i
                : SendMessageW(GetDlgItem(hwnd_, OptionId(i)), BM_GETCHECK, 0, 0) == BST_CHECKED;
    }
}

void frmComport::cmdOK_Click() {
    KeepSelection();
    EndDialog(hwnd_, IDOK);
}

// Closing by the close box unloads the dialog: what is read afterwards is its design, "Com 1".
void frmComport::Form_Unload() {
    checked_.assign(checked_.size(), false);
    checked_[0] = true;
    EndDialog(hwnd_, IDCANCEL);
}
