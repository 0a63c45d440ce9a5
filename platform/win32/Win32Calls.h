#pragma once

// The Win32 calls the serial backend makes, gathered in one table so that a test can put its
// own functions in their place and show the backend what real adaptors do and Wine cannot: a
// port held elsewhere, an adaptor pulled in the middle of a read, an open that takes 20 s.
// The program itself never changes the table.

#include <windows.h>

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
    BOOL(WINAPI* CloseHandle)(HANDLE);
    // The present-port enumeration (SetupAPI) is not in the table yet: it still calls the
    // system directly.
};

// The table in use: the system's own functions unless a test replaced some.
Win32Calls& Win32Api();
// The system's own functions, for a test table that passes most calls through.
const Win32Calls& Win32SystemCalls();
