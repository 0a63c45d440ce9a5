// fieldprog-cli's console and interrupt keys on Windows. A console gets UTF-16 through
// WriteConsoleW, so every text shows whatever the console's code page; a pipe or a file gets
// the UTF-8 bytes unchanged, as on other systems.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>

#include "Terminal.h"
#include "Win32Text.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

constexpr int kInterrupt = 2;          // Ctrl-C, numbered as the POSIX signal
constexpr int kTerminate = 15;         // Ctrl-Break, closing the console, log-off, shut-down
constexpr DWORD kCloseGraceMs = 4500;  // Windows ends a closing console's process after 5 s
constexpr DWORD kMaxWrite = 16384;     // UTF-16 units per WriteConsoleW

std::atomic<int> gRequest{0};

struct ConsoleState {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool console = false;  // a console window, not a pipe or a file
    bool vt = false;       // it takes the cursor-movement sequences of the station display
    DWORD savedMode = 0;
};
ConsoleState gStreams[2];

ConsoleState& State(terminal::Stream stream) {
    return gStreams[stream == terminal::Stream::Out ? 0 : 1];
}

void RestoreModes() {
    for (const ConsoleState& state : gStreams) {
        if (state.console && state.vt) SetConsoleMode(state.handle, state.savedMode);
    }
}

void Inspect(ConsoleState& state, DWORD which) {
    state.handle = GetStdHandle(which);
    DWORD mode = 0;
    state.console = state.handle != nullptr && state.handle != INVALID_HANDLE_VALUE &&
                    GetConsoleMode(state.handle, &mode) != FALSE;
    if (!state.console) return;
    state.savedMode = mode;
    state.vt = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
               SetConsoleMode(state.handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
}

// Runs on a thread of its own. The request is only recorded: the program's message pump sees
// it at the next round of any wait and ends the operation through its normal failure path.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    const int request = event == CTRL_C_EVENT ? kInterrupt : kTerminate;
    int none = 0;
    if (!gRequest.compare_exchange_strong(none, request)) {
        // Whatever is stuck after the first request gets no second chance.
        TerminateProcess(GetCurrentProcess(), 128 + gRequest.load());
    }
    // Windows ends the process as soon as a close, log-off or shut-down handler returns: give
    // the program the time to close its port and remove its temporary file first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        Sleep(kCloseGraceMs);
    }
    return TRUE;
}

}  // namespace

namespace terminal {

void Prepare() {
    Inspect(gStreams[0], STD_OUTPUT_HANDLE);
    Inspect(gStreams[1], STD_ERROR_HANDLE);
    std::atexit(RestoreModes);
}

// A console without the cursor sequences (before Windows 10) gets the plain progress lines
// that logs get, rather than escape codes shown as text.
bool IsInteractive(Stream stream) {
    const ConsoleState& state = State(stream);
    return state.console && state.vt;
}

int Columns(Stream stream) {
    constexpr int kDefaultColumns = 80;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const ConsoleState& state = State(stream);
    if (!state.console || !GetConsoleScreenBufferInfo(state.handle, &info)) return kDefaultColumns;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : kDefaultColumns;
}

void Write(Stream stream, const std::string& text) {
    const ConsoleState& state = State(stream);
    if (state.handle == nullptr || state.handle == INVALID_HANDLE_VALUE) return;
    if (state.console) {
        const std::wstring wide = Widen(text);
        std::size_t done = 0;
        while (done < wide.size()) {
            const DWORD chunk =
                static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, kMaxWrite));
            DWORD written = 0;
            if (!WriteConsoleW(state.handle, wide.data() + done, chunk, &written, nullptr) ||
                written == 0) {
                return;  // nowhere left to report to
            }
            done += written;
        }
        return;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size() - done, MAXDWORD));
        DWORD written = 0;
        if (!WriteFile(state.handle, text.data() + done, chunk, &written, nullptr) ||
            written == 0) {
            return;
        }
        done += written;
    }
}

void InstallInterruptHandler() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int InterruptReceived() {
    return gRequest.load();
}

std::string UtcNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    // 100-ns ticks since 1601 to seconds since 1970.
    constexpr unsigned long long kTicksPerSecond = 10000000ULL;
    constexpr unsigned long long kEpochDifference = 11644473600ULL;
    const unsigned long long ticks =
        (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const std::time_t seconds =
        static_cast<std::time_t>(ticks / kTicksPerSecond - kEpochDifference);
    std::tm parts{};
    if (gmtime_s(&parts, &seconds) != 0) return "1970-01-01T00:00:00Z";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

}  // namespace terminal
