// The user's settings on Windows: text values under HKEY_CURRENT_USER\Software\fieldprog.

#include <windows.h>

#include "SettingsStore.h"
#include "Win32Calls.h"
#include "Win32Text.h"

namespace {

constexpr wchar_t kKey[] = L"Software\\fieldprog";
constexpr DWORD kLongestValue = 512;  // UTF-16 units; the values are short

class Win32Settings : public SettingsStore {
  public:
    bool Read(const std::string& name, std::string& value) override {
        HKEY key = nullptr;
        if (Win32Api().RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key) !=
            ERROR_SUCCESS) {
            return false;
        }
        wchar_t text[kLongestValue] = {};
        DWORD bytes = sizeof text - sizeof(wchar_t);  // room for the NUL the value may lack
        DWORD type = 0;
        const bool ok =
            Win32Api().RegQueryValueExW(key, Widen(name).c_str(), nullptr, &type,
                                        reinterpret_cast<BYTE*>(text), &bytes) == ERROR_SUCCESS &&
            type == REG_SZ;
        Win32Api().RegCloseKey(key);
        if (ok) value = Narrow(text);
        return ok;
    }

    bool Write(const std::string& name, const std::string& value) override {
        HKEY key = nullptr;
        if (Win32Api().RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE,
                                       nullptr, &key, nullptr) != ERROR_SUCCESS) {
            return false;
        }
        const std::wstring text = Widen(value);
        const bool ok =
            Win32Api().RegSetValueExW(
                key, Widen(name).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
        Win32Api().RegCloseKey(key);
        return ok;
    }
};

}  // namespace

std::unique_ptr<SettingsStore> MakeUserSettings() {
    return std::make_unique<Win32Settings>();
}
