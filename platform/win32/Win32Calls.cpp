#include "Win32Calls.h"

const Win32Calls& Win32SystemCalls() {
    static const Win32Calls calls{
        ::CreateFileW,
        ::ReadFile,
        ::WriteFile,
        ::ClearCommError,
        ::GetCommState,
        ::SetCommState,
        ::GetCommTimeouts,
        ::SetCommTimeouts,
        ::SetupComm,
        ::PurgeComm,
        ::SetCommBreak,
        ::ClearCommBreak,
        ::EscapeCommFunction,
        ::CloseHandle,
        ::SetupDiGetClassDevsW,
        ::SetupDiEnumDeviceInfo,
        ::SetupDiOpenDevRegKey,
        ::RegQueryValueExW,
        ::RegCloseKey,
        ::SetupDiGetDeviceRegistryPropertyW,
        ::SetupDiDestroyDeviceInfoList,
        ::QueryDosDeviceW,
        ::GetFileAttributesW,
        ::RegOpenKeyExW,
        ::RegCreateKeyExW,
        ::RegSetValueExW,
    };
    return calls;
}

Win32Calls& Win32Api() {
    static Win32Calls calls = Win32SystemCalls();
    return calls;
}
