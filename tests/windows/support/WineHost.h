#pragma once

// The machine around Wine for the Windows tests: host shell scripts, the Linux emulator on a
// pseudo-terminal that Wine shows as a COM port, and this build's programs as child processes.

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "FileSystem.h"
#include "Win32Text.h"

namespace winehost {

constexpr int kPatienceMs = 30000;  // generous: the machine is shared

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

// The host path of a path on Z:, which Wine maps to the host's root.
inline std::string HostPath(std::string windowsPath) {
    std::replace(windowsPath.begin(), windowsPath.end(), '\\', '/');
    return windowsPath.erase(0, 2);
}

// This test program's folder, where the build puts every program.
inline std::string ProgramFolder() {
    const std::string self = FileSystem::RunningExecutablePath();
    return self.substr(0, self.find_last_of('\\') + 1);
}

// A private folder for one test, in the host's /tmp.
class Folder {
  public:
    Folder() : path(FileSystem::NewPrivateFolder("Z:\\tmp", "fp-win-")), host(HostPath(path)) {}
    ~Folder() { FileSystem::RemoveTree(path); }
    Folder(const Folder&) = delete;
    std::string operator/(const std::string& name) const { return path + "\\" + name; }
    std::string Host(const std::string& name) const { return host + "/" + name; }

    // Runs host commands in the folder (Wine starts host programs too): to their end, with what
    // they wrote and then "status 0" if all went well; or in the background, returning at once.
    std::string OnHost(const std::string& name, const std::string& commands,
                       bool wait = true) const {
        std::wstring command = L"sh \"" + Widen(Host(name + ".sh")) + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        FileSystem::RemoveFile(*this / (name + ".done"));
        if (!FileSystem::WriteWholeFile(*this / (name + ".sh"),
                                        "cd '" + host + "'; { " + commands + "; } > " + name +
                                            ".log 2>&1; echo status $? >> " + name +
                                            ".log; touch " + name + ".done\n") ||
            !CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &process))
            return {};
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        if (wait) Await([&] { return FileSystem::IsRegularFile(*this / (name + ".done")); });
        return Read(*this / (name + ".log"));
    }

    const std::string path, host;
};

// Takes away Wine's COM 1 to COM 4 that lead to the host's ttyS ports, as on a PC without
// built-in ports; true when done.
inline bool WithoutBuiltInPorts(const Folder& folder) {
    return Has(folder.OnHost("absent",
                             "for l in \"$WINEPREFIX\"/dosdevices/com[1-4]; do case "
                             "$(readlink \"$l\") in /dev/ttyS*) rm \"$l\";; esac; done"),
               "status 0");
}

// fieldprog-emu (FIELDPROG_EMU) on a pseudo-terminal that Wine shows as COM `com`. It ends
// after its devices, when stopped, or after three minutes if a test forgets it.
class Emulator {
  public:
    // False outside Wine or without FIELDPROG_EMU and WINEPREFIX (then the test skips).
    static bool Available() {
        return std::getenv("FIELDPROG_EMU") != nullptr && std::getenv("WINEPREFIX") != nullptr &&
               GetFileAttributesW(L"Z:\\bin\\sh") != INVALID_FILE_ATTRIBUTES;
    }

    // The shell writes its own number, then becomes the emulator: signals reach it, not timeout.
    Emulator(const Folder& folder, int com, const std::string& options)
        : folder_(folder), name_("emu" + std::to_string(com)) {
        folder.OnHost(
            name_,
            "exec timeout 180 sh -c 'echo $$ > " + name_ +
                ".pid; exec \"$0\" \"$@\"' \"$FIELDPROG_EMU\" --link \"$WINEPREFIX/dosdevices/com" +
                std::to_string(com) + "\" " + options + " > " + name_ + ".out 2>&1 < /dev/null",
            false);
        started_ = Has(Await("PORT "), "PORT ");
    }
    ~Emulator() {
        Signal("TERM");
        Await("DONE");
    }
    Emulator(const Emulator&) = delete;

    bool Started() const { return started_; }
    // Presses the device's button (an emulator started with --press-after-ms -1).
    void Press() { Signal("USR1"); }
    // Waits until the output holds `text` `times` times; returns the output.
    std::string Await(const std::string& text, int times = 1) const {
        std::string output;
        winehost::Await(
            [&] { return Count(output = Read(folder_ / (name_ + ".out")), text) >= times; });
        return output;
    }

  private:
    void Signal(const std::string& signal) {
        folder_.OnHost(name_ + signal, "kill -" + signal + " $(cat " + name_ + ".pid)");
    }

    const Folder& folder_;
    std::string name_;
    bool started_ = false;
};

// A Windows program of this build, its standard output and error together in a file.
class Program {
  public:
    Program(const Folder& folder, const std::string& commandLine, const std::string& name)
        : output_(folder / (name + ".out")) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = startup.hStdError =
            CreateFileW(Widen(output_).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                        CREATE_ALWAYS, 0, nullptr);
        std::wstring command = Widen(commandLine);
        PROCESS_INFORMATION process{};
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                           &startup, &process)) {
            CloseHandle(process.hThread);
            process_ = process.hProcess;
        }
        CloseHandle(startup.hStdOutput);
    }
    ~Program() {  // a handle never opened fails both calls harmlessly
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 99);
        CloseHandle(process_);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The exit code, or -1 when the program did not end within `ms`.
    long Wait(int ms = 120000) const {
        DWORD code = 0;
        if (WaitForSingleObject(process_, static_cast<DWORD>(ms)) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_, &code))
            return -1;
        return static_cast<long>(code);
    }
    std::string Output() const { return Read(output_); }

  private:
    std::string output_;
    HANDLE process_ = nullptr;
};

}  // namespace winehost
