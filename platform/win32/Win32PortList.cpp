// Which device each COM number means on Windows, and the name Windows gives the port.

// clang-format off
#include <windows.h>
#include <initguid.h>  // GUID_DEVCLASS_PORTS is defined, not only declared, in this file
#include <devguid.h>
#include <setupapi.h>
// clang-format on

#include <map>
#include <string>
#include <vector>

#include "SerialPort.h"
#include "Win32Calls.h"
#include "Win32Text.h"

namespace {

constexpr DWORD kLongestValue = 512;  // UTF-16 units; port and friendly names are short
constexpr int kHighestComPort = 256;  // the highest number Windows gives a COM port

// A text value of a device's registry key ("PortName" = "COM3"); empty when there is none.
std::wstring PortNameOf(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    const HKEY key = Win32Api().SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0,
                                                     DIREG_DEV, KEY_QUERY_VALUE);
    if (key == INVALID_HANDLE_VALUE) return {};
    wchar_t value[kLongestValue] = {};
    DWORD bytes = sizeof value - sizeof(wchar_t);  // room for the NUL the value may lack
    DWORD type = 0;
    const bool ok =
        Win32Api().RegQueryValueExW(key, L"PortName", nullptr, &type,
                                    reinterpret_cast<BYTE*>(value), &bytes) == ERROR_SUCCESS &&
        type == REG_SZ;
    Win32Api().RegCloseKey(key);
    return ok ? std::wstring(value) : std::wstring();
}

// "COM7" → 7; 0 for any other name.
int ComNumberOf(const std::wstring& name) {
    if (name.size() < 4 || name.size() > 6 ||
        CompareStringOrdinal(name.c_str(), 3, L"COM", 3, TRUE) != CSTR_EQUAL) {
        return 0;
    }
    int number = 0;
    for (std::size_t k = 3; k < name.size(); ++k) {
        if (name[k] < L'0' || name[k] > L'9') return 0;
        number = number * 10 + (name[k] - L'0');
    }
    return number <= kHighestComPort ? number : 0;
}

struct ListedPort {
    std::string friendly;  // "USB Serial Port (COM7)"
    bool usb = false;      // enumerated by USB or a USB vendor's bus, or sitting on a USB bus
};

// The bus of USB devices (GUID_BUS_TYPE_USB of the driver kit's headers).
constexpr GUID kUsbBus = {
    0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}};

// An adaptor is enumerated by USB itself or by its maker's bus driver (FTDI's FTDIBUS) that
// sits on USB; the bus type says the same for the others.
bool IsUsbDevice(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    wchar_t name[kLongestValue] = {};
    if (Win32Api().SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_ENUMERATOR_NAME,
                                                     nullptr, reinterpret_cast<BYTE*>(name),
                                                     sizeof name - sizeof(wchar_t), nullptr)) {
        for (const wchar_t* bus : {L"USB", L"FTDIBUS", L"USBSER"}) {
            if (CompareStringOrdinal(name, -1, bus, -1, TRUE) == CSTR_EQUAL) return true;
        }
    }
    GUID bus{};
    return Win32Api().SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_BUSTYPEGUID,
                                                        nullptr, reinterpret_cast<BYTE*>(&bus),
                                                        sizeof bus, nullptr) &&
           IsEqualGUID(bus, kUsbBus);
}

// Every present port of the ports class with its friendly name ("USB Serial Port (COM7)") and
// whether it is a USB adaptor, by COM number. This is the one place that asks SetupAPI.
std::map<int, ListedPort> PresentPortsByNumber() {
    std::map<int, ListedPort> found;
    const HDEVINFO devices =
        Win32Api().SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return found;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; Win32Api().SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        const int number = ComNumberOf(PortNameOf(devices, device));
        if (number == 0) continue;
        wchar_t name[kLongestValue] = {};
        std::string friendly;
        if (Win32Api().SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_FRIENDLYNAME,
                                                         nullptr, reinterpret_cast<BYTE*>(name),
                                                         sizeof name - sizeof(wchar_t), nullptr)) {
            friendly = Narrow(name);
        }
        found.emplace(number, ListedPort{friendly, IsUsbDevice(devices, device)});
    }
    Win32Api().SetupDiDestroyDeviceInfoList(devices);
    return found;
}

// A port that a driver outside the ports class made (a virtual port pair) still has its DOS
// device name. Wine shows the host ports it maps after start-up only to a lookup of the name
// itself, which ends in "invalid parameter" for a port and "not found" or "bad device type"
// for a number that has none.
bool HasDosDevice(int comPort) {
    wchar_t target[kLongestValue] = {};
    const std::wstring name = L"COM" + std::to_wstring(comPort);
    if (Win32Api().QueryDosDeviceW(name.c_str(), target, kLongestValue) != 0) return true;
    if (Win32Api().GetFileAttributesW((L"\\\\.\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_DEV_TYPE:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return false;
        default:
            return true;
    }
}

}  // namespace

// COM numbers are the system's own: COM n is \\.\COMn.
std::string ComPortDevicePath(int comPort) {
    return comPort >= 1 && comPort <= kHighestComPort ? "\\\\.\\COM" + std::to_string(comPort)
                                                      : std::string();
}

std::vector<int> PresentComPortsAbove4() {
    const std::map<int, ListedPort> listed = PresentPortsByNumber();
    std::vector<int> present;
    for (int n = 5; n <= kHighestComPort; ++n) {
        if (listed.count(n) != 0 || HasDosDevice(n)) present.push_back(n);
    }
    return present;
}

// The friendly name Device Manager shows ("USB Serial Port (COM3)"); empty when the ports
// class does not know the port.
std::string ComPortDescription(int comPort) {
    if (comPort < 1) return {};
    const std::map<int, ListedPort> listed = PresentPortsByNumber();
    const auto it = listed.find(comPort);
    return it == listed.end() ? std::string() : it->second.friendly;
}

bool ComPortIsUsbAdaptor(int comPort) {
    const std::map<int, ListedPort> listed = PresentPortsByNumber();
    const auto it = listed.find(comPort);
    return it != listed.end() && it->second.usb;
}
