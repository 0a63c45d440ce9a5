#pragma once

// What the Windows tests need of the machine around Wine: the Linux emulator on a
// pseudo-terminal that Wine shows as a COM port, host paths, and Windows programs of this
// build run as child processes with their output in files.

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "FileSystem.h"

namespace winehost {

constexpr int kPatienceMs = 30000;  // generous: the machine is shared

inline std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// The host path Wine maps a Windows path to; empty outside Wine.
inline std::string HostPath(const std::string& windowsPath) {
    using ToHost = char*(__cdecl*)(const wchar_t*);
    const auto toHost = reinterpret_cast<ToHost>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (toHost == nullptr) return {};
    char* host = toHost(Wide(windowsPath).c_str());  // temporary paths are ASCII here
    if (host == nullptr) return {};
    std::string path = host;
    HeapFree(GetProcessHeap(), 0, host);
    return path;
}

// This test program's folder, where the build puts every program.
inline std::string ProgramFolder() {
    const std::string self = FileSystem::RunningExecutablePath();
    return self.substr(0, self.find_last_of('\\') + 1);
}

// Runs a host shell script in the background; Wine starts host programs like Windows ones.
inline bool RunHostScript(const std::string& hostScript) {
    std::wstring command = L"sh \"" + Wide(hostScript) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

inline bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Waits until the file holds `text` `times` times; returns what it holds.
inline std::string AwaitOutput(const std::string& file, const std::string& text, int times = 1,
                               int ms = kPatienceMs) {
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int found = 0;
        if (FileSystem::ReadWholeFile(file, output)) {
            for (auto at = output.find(text); at != std::string::npos;
                 at = output.find(text, at + 1))
                ++found;
        }
        if (found >= times || std::chrono::steady_clock::now() >= deadline) return output;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// A private folder for one test, with its host path; empty host path outside Wine.
class Folder {
  public:
    Folder()
        : path(FileSystem::NewPrivateFolder(FileSystem::TempFolder(), "fp-win-")),
          host(path.empty() ? std::string() : HostPath(path)) {}
    ~Folder() { FileSystem::RemoveTree(path); }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    std::string operator/(const std::string& name) const { return path + "\\" + name; }
    std::string Host(const std::string& name) const { return host + "/" + name; }

    const std::string path;
    const std::string host;
};

// fieldprog-emu (the Linux program; FIELDPROG_EMU names it) on a pseudo-terminal that Wine
// shows as COM `com`. It ends by itself after its devices, when stopped, or after three
// minutes if a test forgets it.
class Emulator {
  public:
    // False outside Wine or without FIELDPROG_EMU and WINEPREFIX (then the test skips).
    static bool Available() {
        return std::getenv("FIELDPROG_EMU") != nullptr && std::getenv("WINEPREFIX") != nullptr &&
               !HostPath("C:\\").empty();
    }

    Emulator(const Folder& folder, int com, const std::string& options)
        : folder_(folder), name_("emu" + std::to_string(com)) {
        const std::string link =
            std::string(std::getenv("WINEPREFIX")) + "/dosdevices/com" + std::to_string(com);
        // The shell writes its own number and then becomes the emulator, so that signals
        // reach the emulator and not timeout.
        const std::string script =
            "exec timeout 180 sh -c 'echo $$ > \"" + folder.Host(name_ + ".pid") +
            "\"; exec \"$0\" \"$@\"' '" + std::getenv("FIELDPROG_EMU") + "' --link '" + link +
            "' " + options + " > '" + folder.Host(name_ + ".out") + "' 2>&1 < /dev/null\n";
        started_ = FileSystem::WriteWholeFile(folder / (name_ + ".sh"), script) &&
                   RunHostScript(folder.Host(name_ + ".sh")) && Has(Await("PORT "), "PORT ");
    }
    ~Emulator() {
        Signal("TERM");
        Await("DONE");
    }
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    bool Started() const { return started_; }
    // Presses the device's button (an emulator started with --press-after-ms -1).
    void Press() { Signal("USR1"); }
    // Ends the emulator: its pseudo-terminal hangs up and its COM link goes.
    void Stop() { Signal("TERM"); }
    // Waits until the output holds `text` (`times` times); returns the output.
    std::string Await(const std::string& text, int times = 1) const {
        return AwaitOutput(folder_ / (name_ + ".out"), text, times);
    }

  private:
    void Signal(const std::string& signal) {
        std::string pid;
        if (!FileSystem::ReadWholeFile(folder_ / (name_ + ".pid"), pid)) return;
        const std::string script = name_ + "-" + signal + ".sh";
        FileSystem::WriteWholeFile(folder_ / script,
                                   "kill -" + signal + " " + pid + " 2> /dev/null\n");
        RunHostScript(folder_.Host(script));
    }

    const Folder& folder_;
    std::string name_;
    bool started_ = false;
};

// A Windows program of this build, run with its standard output and error in files of the
// test's folder.
class Program {
  public:
    Program(const Folder& folder, const std::string& commandLine, const std::string& name,
            DWORD flags = 0)
        : out_(folder / (name + ".out")), err_(folder / (name + ".err")) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE out = CreateFileW(Wide(out_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, 0, nullptr);
        HANDLE err = CreateFileW(Wide(err_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                 CREATE_ALWAYS, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = err;
        std::wstring command = Wide(commandLine);
        PROCESS_INFORMATION process{};
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                           &startup, &process)) {
            CloseHandle(process.hThread);
            process_ = process.hProcess;
            id_ = process.dwProcessId;
        }
        CloseHandle(out);
        CloseHandle(err);
    }
    ~Program() {
        if (process_ == nullptr) return;
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 99);
        CloseHandle(process_);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool Started() const { return process_ != nullptr; }
    DWORD Id() const { return id_; }
    // The exit code, or -1 when the program did not end within `ms`.
    long Wait(int ms = 120000) const {
        DWORD code = 0;
        if (process_ == nullptr ||
            WaitForSingleObject(process_, static_cast<DWORD>(ms)) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_, &code)) {
            return -1;
        }
        return static_cast<long>(code);
    }
    std::string Out() const { return Read(out_); }
    std::string Err() const { return Read(err_); }
    const std::string& ErrFile() const { return err_; }

  private:
    static std::string Read(const std::string& path) {
        std::string text;
        FileSystem::ReadWholeFile(path, text);
        return text;
    }

    std::string out_, err_;
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// A .BIN image: six zero bytes, the data count high byte first, then data that does not end
// in an erased (FFh) byte.
inline std::string MakeBin(std::size_t count, int seed) {
    std::string bin(6, '\0');
    bin.push_back(static_cast<char>(count >> 8));
    bin.push_back(static_cast<char>(count & 0xFF));
    for (std::size_t k = 0; k < count; ++k) bin.push_back(static_cast<char>((k * 37 + seed) % 251));
    return bin;
}

}  // namespace winehost
