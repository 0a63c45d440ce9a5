#include "frmAbout.h"

#include "FormIds.h"

namespace {

constexpr int kLogoSide = 64;         // logical pixels
constexpr int kCoinsSide = 40;        // logical pixels
constexpr int kVersionFontPct = 150;  // the version number stands out

}  // namespace

frmAbout::frmAbout(HINSTANCE instance)
    : instance_(instance),
      picLogo(instance, kLogoSide, {IDB_ZapperReady}),
      ingLogo(instance, kCoinsSide, {IDB_Coins}) {}

void frmAbout::ShowAbout(HWND owner, const std::string& strVersion,
                         const std::string& strSubVersion) {
    version_ = strVersion;
    subVersion_ = strSubVersion;
    DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_frmAbout), owner, DialogProc, Self());
}

INT_PTR frmAbout::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            Form_Load();
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) cmdOK_Click();
            return TRUE;
        case WM_DRAWITEM: {
            const auto& item = *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            return picLogo.Draw(item) || ingLogo.Draw(item) ? TRUE : FALSE;
        }
        case WM_DPICHANGED:
            PostMessageW(hwnd_, WM_APP, 0, 0);
            return FALSE;
        case WM_APP:
            ApplyScaling();
            return TRUE;
        default:
            return FALSE;
    }
}

void frmAbout::Form_Load() {
    SetText(hwnd_, "About " + exeName_);
    SetItemText(hwnd_, IDC_lblVersion, version_);
    SetItemText(hwnd_, IDC_lblSubVersion, subVersion_);
    ApplyScaling();
}

void frmAbout::ApplyScaling() {
    versionFont_ = MakeFormFont(WindowDpi(hwnd_), kVersionFontPct);
    SendMessageW(GetDlgItem(hwnd_, IDC_lblVersion), WM_SETFONT,
                 reinterpret_cast<WPARAM>(versionFont_.get()), TRUE);
    picLogo.Attach(GetDlgItem(hwnd_, IDC_picLogo));
    ingLogo.Attach(GetDlgItem(hwnd_, IDC_ingLogo));
    EtchedRule(GetDlgItem(hwnd_, IDC_Line1_0 + 1), GetDlgItem(hwnd_, IDC_Line1_0));
}

void frmAbout::cmdOK_Click() {
    EndDialog(hwnd_, IDOK);
}
