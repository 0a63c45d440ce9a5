#include "frmFieldProg.h"

#include <commctrl.h>
#include <commdlg.h>

#include "FormIds.h"
#include "Win32Text.h"
#include "frmAbout.h"
#include "frmComport.h"

namespace {

constexpr UINT kBusyTickMs = 250;      // picture change of the busy animation
constexpr int kPictureSide = 64;       // logical pixels
constexpr int kApplicationIcon = 1;    // the icon resource every program carries
constexpr DWORD kLongestPath = 32768;  // UTF-16 units of a path Windows can take
constexpr UINT kRescale = WM_APP;      // after the dialog manager rescaled for a new DPI

const int kBoxes[] = {IDC_picDescription, IDC_picAbout, IDC_picQuit};

}  // namespace

frmFieldProg::frmFieldProg(HINSTANCE instance)
    : instance_(instance),
      ImgZapper(instance, kPictureSide, {IDB_ZapperReady, IDB_ZapperBusy, IDB_ZapperFailed}) {
    RegisterButtonBox(instance);
    // Created hidden: the port dialog needs its owner before the window is shown.
    CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_frmFieldProg), nullptr, DialogProc, Self());
}

frmFieldProg::~frmFieldProg() {
    // The sequence releases the device object (closing its port) before the window goes.
    sequence_.reset();
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
    if (bigIcon_ != nullptr) DestroyIcon(bigIcon_);
    if (smallIcon_ != nullptr) DestroyIcon(smallIcon_);
}

// ---------------------------------------------------------------------------------------------
// Start-up and handlers: the sequence does the work.

void frmFieldProg::Form_Load() {
    if (hwnd_ != nullptr) StartSequence();
}

bool frmFieldProg::IsLoaded() const {
    return hwnd_ != nullptr && !quit_ && (!sequence_ || !sequence_->Unloaded());
}

int frmFieldProg::MessageLoop() {
    MSG message{};
    while (!quit_ && hwnd_ != nullptr) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) {
            exitCode_ = static_cast<int>(message.wParam);
            break;
        }
        Dispatch(message);
    }
    return exitCode_;
}

// ---------------------------------------------------------------------------------------------
// The window

INT_PTR frmFieldProg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            OnInitDialog();
            return TRUE;
        case WM_COMMAND:
            if (HIWORD(wParam) != BN_CLICKED) return FALSE;
            switch (LOWORD(wParam)) {
                case IDC_cmdDescription:
                    cmdDescription_Click();
                    return TRUE;
                case IDC_cmdQuit:
                    cmdQuit_Click();
                    return TRUE;
                case IDC_cmdAbout:
                    cmdAbout_Click();
                    return TRUE;
                default:
                    return FALSE;  // Escape and Enter of the dialog manager do nothing here
            }
        case WM_TIMER:
            if (wParam == IDT_WaitTimer) WaitTimer_Timer();
            return TRUE;
        case WM_DRAWITEM:
            return ImgZapper.Draw(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)) ? TRUE : FALSE;
        case WM_CLOSE:
            Form_Unload();
            return TRUE;
        case WM_DPICHANGED:
            PostMessageW(hwnd_, kRescale, 0, 0);
            return FALSE;
        case kRescale:
            ApplyScaling();
            return TRUE;
        case WM_DESTROY:
            KillTimer(hwnd_, IDT_WaitTimer);
            PostQuitMessage(0);
            return FALSE;
        case WM_NCDESTROY:
            hwnd_ = nullptr;
            return FALSE;
        default:
            return FALSE;
    }
}

void frmFieldProg::OnInitDialog() {
    AddBoxButton(Item(IDC_picDescription), IDC_cmdDescription, false);
    AddBoxButton(Item(IDC_picAbout), IDC_cmdAbout, false);
    AddBoxButton(Item(IDC_picQuit), IDC_cmdQuit, false);
    SetText(ButtonIn(IDC_picDescription), "Description");
    SetText(ButtonIn(IDC_picAbout), "About");
    SetText(ButtonIn(IDC_picQuit), "Quit");
    for (const int bar : {IDC_pbProgressClear, IDC_pbProgress}) {
        SendMessageW(Item(bar), PBM_SETRANGE32, 0, 100);
        SendMessageW(Item(bar), PBM_SETPOS, 0, 0);
    }
    ApplyScaling();
}

// Fonts, pictures, one-pixel rules and icons for the window's DPI.
void frmFieldProg::ApplyScaling() {
    const UINT dpi = WindowDpi(hwnd_);
    font_ = MakeFormFont(dpi);
    SendMessageW(Item(IDC_lblStatus), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
    for (const int box : kBoxes) {
        SendMessageW(ButtonIn(box), WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
    }
    ImgZapper.Attach(Item(IDC_ImgZapper));
    EtchedRule(Item(IDC_lineBlack), Item(IDC_lineWhite));

    for (HICON* icon : {&bigIcon_, &smallIcon_}) {
        const bool big = icon == &bigIcon_;
        const int side = Scaled(big ? 32 : 16, dpi);
        HICON loaded = static_cast<HICON>(
            LoadImageW(instance_, MAKEINTRESOURCEW(kApplicationIcon), IMAGE_ICON, side, side, 0));
        SendMessageW(hwnd_, WM_SETICON, big ? ICON_BIG : ICON_SMALL,
                     reinterpret_cast<LPARAM>(loaded));
        if (*icon != nullptr) DestroyIcon(*icon);
        *icon = loaded;
    }
}

// Closing the window unloads it, as Quit does: the sequence stops and lets go of the port.
void frmFieldProg::Form_Unload() {
    if (sequence_) sequence_->Form_Unload();
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

HWND frmFieldProg::Item(int id) const {
    return GetDlgItem(hwnd_, id);
}

HWND frmFieldProg::ButtonIn(int boxId) const {
    return BoxButton(GetDlgItem(hwnd_, boxId));
}

void frmFieldProg::Dispatch(MSG& message) {
    // Only this window's keys go through the dialog manager here; a modal dialog runs its own
    // loop, which does the same for its keys.
    if (hwnd_ != nullptr && GetAncestor(message.hwnd, GA_ROOT) == hwnd_ &&
        IsDialogMessageW(hwnd_, &message)) {
        return;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

// ---------------------------------------------------------------------------------------------
// The view the sequence drives. After the window is gone (closed while a device call still
// ran), every call does nothing.

void frmFieldProg::SetCaption(const std::string& text) {
    if (hwnd_ != nullptr) SetText(hwnd_, text);
}

void frmFieldProg::SetStatus(const std::string& text) {
    if (hwnd_ != nullptr) SetItemText(hwnd_, IDC_lblStatus, text);
}

// Without a caption the Description button keeps its place in its box but is not drawn, so
// the window shows no empty button that does nothing. Each caption's first letter is its
// mnemonic (Alt+Q quits), whatever the language.
void frmFieldProg::SetButtonCaption(Button button, const std::string& text) {
    if (hwnd_ == nullptr) return;
    std::string caption;
    for (const char c : text) caption += c == '&' ? std::string("&&") : std::string(1, c);
    if (!caption.empty()) caption.insert(0, "&");
    switch (button) {
        case Button::Description: {
            HWND cmdDescription = ButtonIn(IDC_picDescription);
            SetText(cmdDescription, caption);
            ::ShowWindow(cmdDescription, caption.empty() ? SW_HIDE : SW_SHOWNA);
            break;
        }
        case Button::Quit:
            SetText(ButtonIn(IDC_picQuit), caption);
            break;
        case Button::About:
            SetText(ButtonIn(IDC_picAbout), caption);
            break;
    }
}

void frmFieldProg::ShowButtons(bool visible) {
    if (hwnd_ == nullptr) return;
    for (const int box : kBoxes) ::ShowWindow(Item(box), visible ? SW_SHOWNA : SW_HIDE);
    if (visible) KeepKeyboardFocus();
}

void frmFieldProg::EnableQuit(bool enabled) {
    if (hwnd_ == nullptr) return;
    EnableWindow(Item(IDC_picQuit), enabled);
    if (enabled) KeepKeyboardFocus();
}

// The buttons are hidden during a transfer and the focus goes with them; once they are back
// it goes to Reset when a failure offers it, else to Quit, so the keyboard keeps working. Only
// while this window is the active one: a modal box or another program keeps its focus.
void frmFieldProg::KeepKeyboardFocus() {
    if (GetActiveWindow() != hwnd_) return;
    HWND focus = GetFocus();
    if (focus != nullptr && IsChild(hwnd_, focus) && IsWindowVisible(focus) &&
        IsWindowEnabled(focus)) {
        return;
    }
    HWND description = ButtonIn(IDC_picDescription);
    HWND target = IsWindowVisible(description) ? description : ButtonIn(IDC_picQuit);
    if (IsWindowVisible(target) && IsWindowEnabled(target) && IsWindowEnabled(GetParent(target))) {
        SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(target), TRUE);
    }
}

void frmFieldProg::ShowBars(bool visible) {
    if (hwnd_ == nullptr) return;
    for (const int bar : {IDC_pbProgressClear, IDC_pbProgress}) {
        ::ShowWindow(Item(bar), visible ? SW_SHOWNA : SW_HIDE);
    }
}

void frmFieldProg::SetBar(Bar bar, int value) {
    if (hwnd_ == nullptr) return;
    HWND target = Item(bar == Bar::Clear ? IDC_pbProgressClear : IDC_pbProgress);
    PBRANGE range{};
    SendMessageW(target, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    if (range.iLow <= value && range.iHigh >= value) SendMessageW(target, PBM_SETPOS, value, 0);
}

void frmFieldProg::ShowPicture(int picture) {
    if (hwnd_ != nullptr) ImgZapper.Show(picture);
}

void frmFieldProg::SetBusyTimer(bool running) {
    if (hwnd_ == nullptr) return;
    if (running) {
        SetTimer(hwnd_, IDT_WaitTimer, kBusyTickMs, nullptr);
    } else {
        KillTimer(hwnd_, IDT_WaitTimer);
    }
}

int frmFieldProg::ChoosePort(const std::string& title, const std::string& ok,
                             const std::vector<PortChoice>& ports, const std::string& otherPorts) {
    frmComport dialog(instance_);
    std::string strComports;
    int preselected = -1;
    std::vector<int> indices;
    for (const PortChoice& port : ports) {
        const int index =
            port.number > 4 ? dialog.AddPort(port.number, otherPorts) : port.number - 1;
        indices.push_back(index);
        if (!port.free || index < 0) continue;
        strComports += std::to_string(port.number) + ",";
        if (port.preselected) preselected = index;
    }
    if (!strComports.empty()) strComports.pop_back();
    // The port the sequence picked is preselected and focused, so Enter alone takes it.
    dialog.SetupForm(static_cast<std::int16_t>(preselected < 0 ? 0 : preselected), strComports,
                     title, ok);
    for (std::size_t k = 0; k < ports.size(); ++k) {
        dialog.ShowPortDetails(indices[k], ports[k].description, ports[k].whyNotFree);
    }
    dialog.Show(hwnd_);
    return dialog.Comport();
}

bool frmFieldProg::ChooseBinaryFile(const std::string& title, const std::string& folder,
                                    std::string& path) {
    std::wstring chosen(kLongestPath, L'\0');
    const std::wstring wideTitle = Widen(title);
    const std::wstring wideFolder = Widen(folder);
    static const wchar_t kFilter[] = L"Binary File (*.BIN)\0*.BIN\0";
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = hwnd_;
    dialog.lpstrFilter = kFilter;
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = chosen.data();
    dialog.nMaxFile = kLongestPath;
    dialog.lpstrInitialDir = wideFolder.c_str();
    dialog.lpstrTitle = wideTitle.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY;
    if (!GetOpenFileNameW(&dialog)) return false;
    path = Narrow(chosen.c_str());
    return true;
}

void frmFieldProg::ShowMessage(const std::string& caption, const std::string& text) {
    MessageBoxW(hwnd_, Widen(text).c_str(), Widen(caption).c_str(), MB_ICONEXCLAMATION | MB_OK);
}

void frmFieldProg::ShowAbout(const std::string& program, const std::string& version,
                             const std::string& subVersion) {
    // A fresh box every time, so no text of an earlier showing survives.
    frmAbout about(instance_);
    about.ExecutableName(program);
    about.ShowAbout(hwnd_, version, subVersion);
}

void frmFieldProg::ShowWindow() {
    if (hwnd_ == nullptr) return;
    ::ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
    UpdateWindow(hwnd_);
}

void frmFieldProg::CloseMainWindow() {
    if (hwnd_ != nullptr) SendMessageW(hwnd_, WM_CLOSE, 0, 0);
}

// Every other window of this program is a dialog owned by this one (the port dialog, the
// About box, the file dialog, a message box): cancel them, topmost (newest) first.
void frmFieldProg::CloseOtherWindows() {
    if (hwnd_ != nullptr) KillTimer(hwnd_, IDT_WaitTimer);
    std::vector<HWND> others;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND window, LPARAM list) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&others));
    for (HWND window : others) {
        if (window != hwnd_ && IsWindowVisible(window))
            PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    }
}

// Runs everything waiting in the message queue, painting included, then returns.
void frmFieldProg::DoEvents() {
    MSG message{};
    while (!quit_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // The window is gone; the loop that ends the program must see this too.
            quit_ = true;
            exitCode_ = static_cast<int>(message.wParam);
            PostQuitMessage(exitCode_);
            break;
        }
        Dispatch(message);
    }
}
