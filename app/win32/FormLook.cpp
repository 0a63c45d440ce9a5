#include "FormLook.h"

#include "FormIds.h"
#include "Win32Text.h"

namespace {

constexpr int kLogicalDpi = 96;            // 100 % scaling
constexpr int kFormFontCentipoints = 975;  // 9.75 pt
constexpr int kPointsPerInchTimes100 = 7200;

// A box only holds its button: what the button tells its parent goes on to the form.
LRESULT CALLBACK BoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
        case WM_NOTIFY:
        case WM_CTLCOLORBTN:
            return SendMessageW(GetParent(box), message, wParam, lParam);
        case WM_SIZE: {
            if (HWND button = BoxButton(box)) {
                MoveWindow(button, 0, 0, LOWORD(lParam), HIWORD(lParam), TRUE);
            }
            return 0;
        }
        case WM_ENABLE:
            // A disabled box shows a disabled button, as a container does.
            if (HWND button = BoxButton(box)) EnableWindow(button, static_cast<BOOL>(wParam));
            return 0;
        default:
            return DefWindowProcW(box, message, wParam, lParam);
    }
}

}  // namespace

void RegisterButtonBox(HINSTANCE instance) {
    WNDCLASSEXW box{};
    box.cbSize = sizeof box;
    box.lpfnWndProc = BoxProc;
    box.hInstance = instance;
    box.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    box.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    box.lpszClassName = FIELDPROG_BOX_CLASS;
    RegisterClassExW(&box);
}

HWND AddBoxButton(HWND box, int id, bool isDefault) {
    RECT area{};
    GetClientRect(box, &area);
    const DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP |
                        static_cast<DWORD>(isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
    return CreateWindowExW(0, L"BUTTON", L"", style, 0, 0, area.right, area.bottom, box,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(box, GWLP_HINSTANCE)),
                           nullptr);
}

HWND BoxButton(HWND box) {
    return GetWindow(box, GW_CHILD);
}

// GetDpiForWindow came with Windows 10; before it every window has the system's DPI.
UINT WindowDpi(HWND window) {
    using GetDpi = UINT(WINAPI*)(HWND);
    static const auto getDpi = reinterpret_cast<GetDpi>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32"), "GetDpiForWindow")));
    if (getDpi != nullptr && window != nullptr) {
        const UINT dpi = getDpi(window);
        if (dpi != 0) return dpi;
    }
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kLogicalDpi;
}

int Scaled(int logicalPixels, UINT dpi) {
    return MulDiv(logicalPixels, static_cast<int>(dpi), kLogicalDpi);
}

FontHandle MakeFormFont(UINT dpi, int percent) {
    LOGFONTW font{};
    font.lfHeight = -MulDiv(kFormFontCentipoints * percent / 100, static_cast<int>(dpi),
                            kPointsPerInchTimes100);
    font.lfWeight = FW_BOLD;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = CLEARTYPE_QUALITY;
    font.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
    lstrcpynW(font.lfFaceName, L"Microsoft Sans Serif", LF_FACESIZE);
    return FontHandle(CreateFontIndirectW(&font));
}

void SizeInPixels(HWND control, int width, int height) {
    const UINT dpi = WindowDpi(control);
    SetWindowPos(control, nullptr, 0, 0, Scaled(width, dpi), Scaled(height, dpi),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void EtchedRule(HWND grey, HWND white) {
    const int thickness = Scaled(1, WindowDpi(grey));
    RECT line{};
    GetWindowRect(grey, &line);
    MapWindowPoints(nullptr, GetParent(grey), reinterpret_cast<POINT*>(&line), 2);
    const int width = line.right - line.left;
    SetWindowPos(grey, nullptr, line.left, line.top, width, thickness,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    SetWindowPos(white, nullptr, line.left, line.top + thickness, width, thickness,
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

void SetText(HWND window, const std::string& utf8) {
    SetWindowTextW(window, Widen(utf8).c_str());
}

void SetItemText(HWND dialog, int id, const std::string& utf8) {
    SetDlgItemTextW(dialog, id, Widen(utf8).c_str());
}

INT_PTR CALLBACK DialogForm::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        reinterpret_cast<DialogForm*>(lParam)->hwnd_ = dialog;
    }
    auto* form = reinterpret_cast<DialogForm*>(GetWindowLongPtrW(dialog, DWLP_USER));
    return form != nullptr ? form->OnMessage(message, wParam, lParam) : FALSE;
}
