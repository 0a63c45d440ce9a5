#pragma once

// The Win32 calls the serial backend, the port list and the user's settings make, gathered in one
// table so that a test can put its own functions in their place and show them what real adaptors
// and PCs do and Wine cannot: a port held elsewhere, an adaptor pulled in the middle of a read, an
// open that takes 20 s, a USB adaptor listed as COM 7. The program itself never changes the table.

// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

struct Win32Calls {
    HANDLE(WINAPI* CreateFileW)
    (LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* ClearCommError)(HANDLE, LPDWORD, LPCOMSTAT);
    BOOL(WINAPI* GetCommState)(HANDLE, LPDCB);
    BOOL(WINAPI* SetCommState)(HANDLE, LPDCB);
    BOOL(WINAPI* GetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
    BOOL(WINAPI* SetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
    BOOL(WINAPI* SetupComm)(HANDLE, DWORD, DWORD);
    BOOL(WINAPI* PurgeComm)(HANDLE, DWORD);
    BOOL(WINAPI* SetCommBreak)(HANDLE);
    BOOL(WINAPI* ClearCommBreak)(HANDLE);
    BOOL(WINAPI* EscapeCommFunction)(HANDLE, DWORD);
    BOOL(WINAPI* CloseHandle)(HANDLE);
    // The present ports and their friendly names.
    HDEVINFO(WINAPI* SetupDiGetClassDevsW)(const GUID*, PCWSTR, HWND, DWORD);
    BOOL(WINAPI* SetupDiEnumDeviceInfo)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
    HKEY(WINAPI* SetupDiOpenDevRegKey)(HDEVINFO, PSP_DEVINFO_DATA, DWORD, DWORD, DWORD, REGSAM);
    LONG(WINAPI* RegQueryValueExW)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
    LONG(WINAPI* RegCloseKey)(HKEY);
    BOOL(WINAPI* SetupDiGetDeviceRegistryPropertyW)
    (HDEVINFO, PSP_DEVINFO_DATA, DWORD, PDWORD, PBYTE, DWORD, PDWORD);
    BOOL(WINAPI* SetupDiDestroyDeviceInfoList)(HDEVINFO);
    DWORD(WINAPI* QueryDosDeviceW)(LPCWSTR, LPWSTR, DWORD);
    DWORD(WINAPI* GetFileAttributesW)(LPCWSTR);
    // The user's settings under HKEY_CURRENT_USER (reads use RegQueryValueExW above).
    LONG(WINAPI* RegOpenKeyExW)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
    LONG(WINAPI* RegCreateKeyExW)
    (HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES, PHKEY, LPDWORD);
    LONG(WINAPI* RegSetValueExW)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
};

// The table in use: the system's own functions unless a test replaced some.
Win32Calls& Win32Api();
// The system's own functions, for a test table that passes most calls through.
const Win32Calls& Win32SystemCalls();
