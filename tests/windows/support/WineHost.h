#pragma once

// What the Windows tests need of the machine around Wine: the Linux emulator on a
// pseudo-terminal that Wine shows as a COM port, host scripts, and Windows programs of this
// build run as child processes with their output in files.

#include <windows.h>

#include <cstdlib>
#include <string>

#include "FileSystem.h"

namespace winehost {

constexpr int kPatienceMs = 30000;  // generous: the machine is shared

inline std::wstring Wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

inline int Count(const std::string& text, const std::string& part) {
    int found = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
    return found;
}
inline bool Has(const std::string& text, const std::string& part) {
    return Count(text, part) > 0;
}

inline std::string Read(const std::string& path) {
    std::string text;
    FileSystem::ReadWholeFile(path, text);
    return text;
}

// Polls `condition` until it holds or `ms` have passed; whether it held.
template <typename Condition>
bool Await(Condition condition, int ms = kPatienceMs) {
    for (int waited = 0; waited < ms && !condition(); waited += 50) Sleep(50);
    return condition();
}

// The host path Wine maps a Windows path to; empty outside Wine.
inline std::string HostPath(const std::string& windowsPath) {
    using ToHost = char*(__cdecl*)(const wchar_t*);
    const auto toHost = reinterpret_cast<ToHost>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char* host = toHost == nullptr ? nullptr : toHost(Wide(windowsPath).c_str());
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
                        nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// Waits until the file holds `text` `times` times; returns what it holds.
inline std::string AwaitOutput(const std::string& file, const std::string& text, int times = 1) {
    std::string output;
    Await([&] { return Count(output = Read(file), text) >= times; });
    return output;
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

    // Runs host commands in the folder to their end; what they wrote, then "status 0" when all
    // went well.
    std::string OnHost(const std::string& name, const std::string& commands) const {
        const std::string script = "cd '" + host + "'; { " + commands + "; } > " + name +
                                   ".log 2>&1; echo status $? >> " + name + ".log; touch " + name +
                                   ".done\n";
        if (FileSystem::WriteWholeFile(*this / (name + ".sh"), script) &&
            RunHostScript(Host(name + ".sh")))
            Await([&] { return FileSystem::IsRegularFile(*this / (name + ".done")); });
        return Read(*this / (name + ".log"));
    }

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
    // Waits until the output holds `text` (`times` times); returns the output.
    std::string Await(const std::string& text, int times = 1) const {
        return AwaitOutput(folder_ / (name_ + ".out"), text, times);
    }

  private:
    void Signal(const std::string& signal) {
        const std::string pid = Read(folder_ / (name_ + ".pid")), script = name_ + signal + ".sh";
        if (!pid.empty() &&
            FileSystem::WriteWholeFile(folder_ / script, "kill -" + signal + " " + pid))
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
    Program(const Folder& folder, const std::string& commandLine, const std::string& name)
        : out_(folder / (name + ".out")), err_(folder / (name + ".err")) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = CreateFileW(Wide(out_).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                         &inherit, CREATE_ALWAYS, 0, nullptr);
        startup.hStdError = CreateFileW(Wide(err_).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                        &inherit, CREATE_ALWAYS, 0, nullptr);
        std::wstring command = Wide(commandLine);
        PROCESS_INFORMATION process{};
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                           &startup, &process)) {
            CloseHandle(process.hThread);
            process_ = process.hProcess;
            id_ = process.dwProcessId;
        }
        CloseHandle(startup.hStdOutput);
        CloseHandle(startup.hStdError);
    }
    ~Program() {
        if (process_ == nullptr) return;
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 99);
        CloseHandle(process_);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    DWORD Id() const { return id_; }
    // The exit code, or -1 when the program did not end within `ms`.
    long Wait(int ms = 120000) const {
        DWORD code = 0;
        if (process_ == nullptr ||
            WaitForSingleObject(process_, static_cast<DWORD>(ms)) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_, &code))
            return -1;
        return static_cast<long>(code);
    }
    std::string Out() const { return Read(out_); }
    std::string Err() const { return Read(err_); }

  private:
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
