// The Win32 serial port against the real emulator. The emulator is a Linux program: the test
// starts it through Wine (which runs host programs too) on a pseudo-terminal that it links as
// $WINEPREFIX/dosdevices/com2, so that Windows sees it as COM 2. The emulator checks every
// block and compares the image it received with the file the test gave it.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "FileSystem.h"
#include "ZelSerialComms.h"

namespace {

constexpr int kCom = 2;                    // the COM number the emulator is linked as
constexpr std::int16_t kPressLoops = 200;  // polling rounds allowed for the button (10 s)
constexpr int kPatienceMs = 20000;         // generous: the machine is shared

// The host path Wine maps a Windows path to; empty outside Wine.
std::string HostPath(const std::string& windowsPath) {
    using ToHost = char*(__cdecl*)(const wchar_t*);
    const auto toHost = reinterpret_cast<ToHost>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (toHost == nullptr) return {};
    const std::wstring wide(windowsPath.begin(), windowsPath.end());  // ASCII temp paths
    char* host = toHost(wide.c_str());
    if (host == nullptr) return {};
    std::string path = host;
    HeapFree(GetProcessHeap(), 0, host);
    return path;
}

// Runs a host shell script; Wine starts host programs like Windows ones.
bool RunHostScript(const std::string& hostScript) {
    std::wstring command = L"sh \"" + std::wstring(hostScript.begin(), hostScript.end()) + L"\"";
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

// Waits until the emulator's output holds `text`; returns the output.
std::string AwaitOutput(const std::string& file, const std::string& text) {
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (FileSystem::ReadWholeFile(file, output) && output.find(text) != std::string::npos)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return output;
}

class Win32SerialTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* emulator = std::getenv("FIELDPROG_EMU");
        const char* prefix = std::getenv("WINEPREFIX");
        folder = FileSystem::NewPrivateFolder(FileSystem::TempFolder(), "fp-win-");
        ASSERT_FALSE(folder.empty()) << FileSystem::LastError();
        hostFolder = HostPath(folder);
        if (emulator == nullptr || prefix == nullptr || hostFolder.empty()) {
            GTEST_SKIP() << "needs Wine, WINEPREFIX and FIELDPROG_EMU (scripts/test-windows)";
        }
        emulatorPath = emulator;
        comLink = std::string(prefix) + "/dosdevices/com" + std::to_string(kCom);
    }
    void TearDown() override {
        // The emulator exits after its one device; one that is still waiting is stopped.
        std::string pid;
        if (!hostFolder.empty() && FileSystem::ReadWholeFile(folder + "\\emu.pid", pid)) {
            FileSystem::WriteWholeFile(folder + "\\stop.sh", "kill -TERM " + pid + "\n");
            RunHostScript(hostFolder + "/stop.sh");
            AwaitOutput(folder + "\\emu.out", "DONE");
        }
        FileSystem::RemoveTree(folder);
    }
    // Starts the emulator for one device whose image must equal `image`.
    void StartEmulator(const std::string& image, const std::string& options) {
        ASSERT_TRUE(FileSystem::WriteWholeFile(folder + "\\image.bin", image));
        // The time limit ends a forgotten emulator; TERM reaches it through timeout.
        const std::string script = "echo $$ > '" + hostFolder + "/emu.pid'\nexec timeout 120 '" +
                                   emulatorPath + "' --link '" + comLink + "' --expect '" +
                                   hostFolder + "/image.bin' --devices 1 " + options + " > '" +
                                   hostFolder + "/emu.out' 2>&1 < /dev/null\n";
        ASSERT_TRUE(FileSystem::WriteWholeFile(folder + "\\emu.sh", script));
        ASSERT_TRUE(RunHostScript(hostFolder + "/emu.sh"));
        ASSERT_NE(AwaitOutput(folder + "\\emu.out", "PORT ").find("PORT "), std::string::npos);
    }

    std::string folder, hostFolder, emulatorPath, comLink;
};

TEST_F(Win32SerialTest, GreetsAsksTheVersionAndDownloadsAnImageTheDeviceChecks) {
    std::string image;
    for (int k = 0; k < 300; ++k) image.push_back(static_cast<char>(k * 37 % 251));
    StartEmulator(image, "--press-after-ms 1000 --fw-version '654321 01 02 03'");

    ZelSerialComms link(MakeSystemSerialPort());
    ASSERT_TRUE(link.OpenCommPort(kCom));
    ASSERT_TRUE(link.WaitForFieldProgrammer(kPressLoops));
    std::string version;
    ASSERT_TRUE(link.SendEchoedCommand(".V", &version, 50, -1));
    EXPECT_NE(version.find("654321 01 02 03"), std::string::npos) << version;
    EXPECT_TRUE(link.DownloadBinaryData(std::vector<std::uint8_t>(image.begin(), image.end())));
    EXPECT_TRUE(link.CloseCommPort());

    const std::string output = AwaitOutput(folder + "\\emu.out", "DONE");
    EXPECT_NE(output.find("DEVICE 1 EXPECT MATCH"), std::string::npos) << output;
}

}  // namespace
