// Which device each COM number means on Windows, and the name Windows gives the port.

// clang-format off
#include <windows.h>
#include <initguid.h>  // GUID_DEVCLASS_PORTS is defined, not only declared, in this file
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <string>

#include "SerialPort.h"
#include "Win32Text.h"

namespace {

constexpr DWORD kLongestValue = 512;  // UTF-16 units; port and friendly names are short

// A text value of a device's registry key ("PortName" = "COM3"); empty when there is none.
std::wstring PortNameOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    const HKEY key =
        SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) return {};
    wchar_t value[kLongestValue] = {};
    DWORD bytes = sizeof value - sizeof(wchar_t);  // room for the NUL the value may lack
    DWORD type = 0;
    const bool ok = RegQueryValueExW(key, L"PortName", nullptr, &type,
                                     reinterpret_cast<BYTE*>(value), &bytes) == ERROR_SUCCESS &&
                    type == REG_SZ;
    RegCloseKey(key);
    return ok ? std::wstring(value) : std::wstring();
}

}  // namespace

// COM numbers are the system's own: COM n is \\.\COMn.
std::string ComPortDevicePath(int comPort) {
    return comPort >= 1 ? "\\\\.\\COM" + std::to_string(comPort) : std::string();
}

// The friendly name Device Manager shows ("USB Serial Port (COM3)"), found among the
// present devices of the ports class by their "PortName".
std::string ComPortDescription(int comPort) {
    if (comPort < 1) return {};
    const std::wstring wanted = L"COM" + std::to_wstring(comPort);
    const HDEVINFO devices =
        SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return {};
    std::string found;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; found.empty() && SetupDiEnumDeviceInfo(devices, index, &device);
         ++index) {
        if (CompareStringOrdinal(PortNameOf(devices, device).c_str(), -1, wanted.c_str(), -1,
                                 TRUE) != CSTR_EQUAL) {
            continue;
        }
        wchar_t name[kLongestValue] = {};
        if (SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME, nullptr,
                                              reinterpret_cast<BYTE*>(name),
                                              sizeof name - sizeof(wchar_t), nullptr)) {
            found = Narrow(name);
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}
