// The Win32 serial port against the real emulator, which Wine shows as COM 2: greeting,
// version, and a download whose image the emulator checks block by block and compares. Then
// what Wine cannot show: a test table of Win32 calls stands in for ports held elsewhere,
// adaptors pulled in the middle of a wait or a transfer, and an open that takes 20 s, with the
// real backend and the download sequence above it.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "DownloadSequence.h"
#include "RecordingView.h"
#include "Win32Calls.h"
#include "WineHost.h"
#include "ZelSerialComms.h"
#include "clsFieldProgrammer.h"

namespace {

using namespace winehost;

constexpr int kCom = 2;
constexpr std::int16_t kPressLoops = 200;  // polling rounds allowed for the button (10 s)
constexpr std::size_t kFrameSize = 133;    // bytes of one transfer block on the wire

TEST(Win32Serial, GreetsAsksTheVersionAndDownloadsAnImageTheDeviceChecks) {
    if (!Emulator::Available())
        GTEST_SKIP() << "needs Wine and FIELDPROG_EMU (scripts/test-windows)";
    Folder folder;
    std::string image;
    for (int k = 0; k < 300; ++k) image.push_back(static_cast<char>(k * 37 % 251));
    ASSERT_TRUE(FileSystem::WriteWholeFile(folder / "image.bin", image));
    Emulator emulator(folder, kCom,
                      "--expect '" + folder.Host("image.bin") +
                          "' --devices 1 --press-after-ms 1000 --fw-version '654321 01 02 03'");
    ASSERT_TRUE(emulator.Started());

    ZelSerialComms link(MakeSystemSerialPort());
    ASSERT_TRUE(link.OpenCommPort(kCom));
    ASSERT_TRUE(link.WaitForFieldProgrammer(kPressLoops));
    std::string version;
    ASSERT_TRUE(link.SendEchoedCommand(".V", &version, 50, -1));
    EXPECT_NE(version.find("654321 01 02 03"), std::string::npos) << version;
    EXPECT_TRUE(link.DownloadBinaryData(std::vector<std::uint8_t>(image.begin(), image.end())));
    EXPECT_TRUE(link.CloseCommPort());
    const std::string output = emulator.Await("DONE");
    EXPECT_TRUE(Has(output, "DEVICE 1 EXPECT MATCH")) << output;
}

// --- What real adaptors do ------------------------------------------------------------------

enum class Call { None, Read, Write, ClearError, SetTimeouts };
constexpr DWORD kZeroBytes = 0;  // the call succeeds and moves nothing (a short write for Write)

// The state of the test table; the open runs on a worker thread, hence the atomics.
struct Adaptor {
    std::atomic<DWORD> openError{0};       // every open fails with this (a held or absent port)
    std::atomic<int> awayFor{0};           // so many opens after a pull find no device
    std::atomic<HANDLE> release{nullptr};  // when set, opens wait for it (a slow port)
    std::atomic<HANDLE> lateClosed{INVALID_HANDLE_VALUE};
    std::atomic<HANDLE> slowHandle{INVALID_HANDLE_VALUE};
    std::mutex mutex;
    std::vector<std::wstring> opened;  // every name asked for
    Call call = Call::None;            // the call a pulled adaptor makes fail
    DWORD error = 0;
    int pullAfterBlocks = -1;  // 0: pulled already; n: pulled once n blocks went out
    int blocks = 0;
    bool pulled = false;
} adaptor;

const Win32Calls& System() {
    return Win32SystemCalls();
}

bool Fails(Call call) {
    if (!adaptor.pulled || adaptor.call != call) return false;
    SetLastError(adaptor.error);
    return adaptor.error != kZeroBytes;
}

HANDLE WINAPI TestCreateFileW(LPCWSTR name, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD how, DWORD flags, HANDLE from) {
    {
        std::lock_guard<std::mutex> lock(adaptor.mutex);
        adaptor.opened.push_back(name);
    }
    const HANDLE release = adaptor.release.load();
    if (release != nullptr) WaitForSingleObject(release, 20000);
    if (const DWORD error = adaptor.openError.load()) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    if (adaptor.awayFor.load() > 0) {
        --adaptor.awayFor;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = System().CreateFileW(name, access, share, security, how, flags, from);
    if (release != nullptr) adaptor.slowHandle = handle;
    adaptor.pulled = false;  // a fresh handle on a port that is back works
    adaptor.blocks = 0;
    return handle;
}

BOOL WINAPI TestReadFile(HANDLE handle, LPVOID buffer, DWORD size, LPDWORD got,
                         LPOVERLAPPED overlapped) {
    if (Fails(Call::Read)) return FALSE;
    if (adaptor.pulled && adaptor.call == Call::Read) {
        *got = 0;
        return TRUE;
    }
    return System().ReadFile(handle, buffer, size, got, overlapped);
}

BOOL WINAPI TestWriteFile(HANDLE handle, LPCVOID bytes, DWORD size, LPDWORD put,
                          LPOVERLAPPED overlapped) {
    if (Fails(Call::Write)) return FALSE;
    if (adaptor.pulled && adaptor.call == Call::Write) {
        return System().WriteFile(handle, bytes, size / 2, put, overlapped);
    }
    const BOOL ok = System().WriteFile(handle, bytes, size, put, overlapped);
    if (size == kFrameSize && ++adaptor.blocks == adaptor.pullAfterBlocks) {
        adaptor.pulled = true;
        adaptor.awayFor = 2;
    }
    return ok;
}

BOOL WINAPI TestClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    if (Fails(Call::ClearError)) return FALSE;
    return System().ClearCommError(handle, errors, status);
}

BOOL WINAPI TestSetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    if (Fails(Call::SetTimeouts)) return FALSE;
    return System().SetCommTimeouts(handle, timeouts);
}

BOOL WINAPI TestCloseHandle(HANDLE handle) {
    if (handle == adaptor.slowHandle.load()) adaptor.lateClosed = handle;
    return System().CloseHandle(handle);
}

class AdaptorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Emulator::Available())
            GTEST_SKIP() << "needs Wine and FIELDPROG_EMU (scripts/test-windows)";
        Reset();
        Win32Calls& calls = Win32Api();
        calls.CreateFileW = TestCreateFileW;
        calls.ReadFile = TestReadFile;
        calls.WriteFile = TestWriteFile;
        calls.ClearCommError = TestClearCommError;
        calls.SetCommTimeouts = TestSetCommTimeouts;
        calls.CloseHandle = TestCloseHandle;
    }
    void TearDown() override { Win32Api() = Win32SystemCalls(); }
    static void Reset() {
        adaptor.openError = 0;
        adaptor.awayFor = 0;
        adaptor.release = nullptr;
        adaptor.slowHandle = INVALID_HANDLE_VALUE;
        adaptor.lateClosed = INVALID_HANDLE_VALUE;
        adaptor.opened.clear();
        adaptor.call = Call::None;
        adaptor.pullAfterBlocks = -1;
        adaptor.pulled = false;
    }
    Folder folder;
};

// Any spelling of a port reaches \\.\COMn; a port another program holds is busy; an open that
// hangs leaves the window's message loop turning, gives up as not answering, and the handle it
// returns late is closed, so the port can be opened again at once.
TEST_F(AdaptorTest, OpensByAnyNameAndTellsAHeldOrSlowPort) {
    struct Row {
        const char* name;
        DWORD error;
        std::wstring reached;
        std::string told;
    };
    const Row rows[] = {
        {"COM7", ERROR_FILE_NOT_FOUND, L"\\\\.\\COM7", "\\\\.\\COM7: no such device"},
        {"com12", ERROR_FILE_NOT_FOUND, L"\\\\.\\COM12", "\\\\.\\COM12: no such device"},
        {"\\\\.\\COM12", ERROR_PATH_NOT_FOUND, L"\\\\.\\COM12", "\\\\.\\COM12: no such device"},
        {"COM2", ERROR_ACCESS_DENIED, L"\\\\.\\COM2",
         "\\\\.\\COM2 is busy: held by another program"},
        {"COM2", ERROR_SHARING_VIOLATION, L"\\\\.\\COM2",
         "\\\\.\\COM2 is busy: held by another program"},
    };
    for (const Row& row : rows) {
        Reset();
        adaptor.openError = row.error;
        auto port = MakeSystemSerialPort();
        EXPECT_EQ(DescribePortOpen(port->OpenDevice(row.name)), row.told) << row.name;
        EXPECT_EQ(adaptor.opened, std::vector<std::wstring>{row.reached}) << row.name;
        EXPECT_FALSE(port->IsOpen()) << row.name;
    }

    Reset();
    Emulator emulator(folder, kCom, "--press-after-ms -1 --stay");
    ASSERT_TRUE(emulator.Started());
    const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    adaptor.release = release;
    auto port = MakeSystemSerialPort();
    int turns = 0;
    port->WhileOpening([&] { ++turns; });
    EXPECT_EQ(DescribePortOpen(port->Open(kCom)), "\\\\.\\COM2 is not answering");
    EXPECT_GT(turns, 1) << "the message loop stood still while the open hung";
    adaptor.release = nullptr;
    SetEvent(release);
    bool closed = false;
    for (int waited = 0; waited < kPatienceMs && !closed; waited += 50) {
        Sleep(50);
        closed = adaptor.lateClosed.load() != INVALID_HANDLE_VALUE;
    }
    EXPECT_TRUE(closed) << "the late handle stayed open";
    EXPECT_TRUE(port->Open(kCom).Opened()) << "the abandoned open still holds the port";
    CloseHandle(release);
}

// A pulled adaptor: whichever call meets it first and however it fails (or succeeds with
// nothing), the window shows the connection text in a wait and the transfer text in a
// transfer; once the adaptor is back (after two opens that find nothing), Reset programs the
// next device.
TEST_F(AdaptorTest, APulledAdaptorShowsItsTextAndResetProgramsTheNextDevice) {
    struct Row {
        Call call;
        DWORD error;
        int pullAfterBlocks;  // 0: during the button wait
        std::string status;
    };
    const std::string noDevice =
        "status: Error: Failed to connect to the Field Programmer, please check it is correctly "
        "connected.";
    const std::string noTransfer = "status: Error: Download Failed.";
    const Row rows[] = {
        {Call::Read, ERROR_DEVICE_NOT_CONNECTED, 0, noDevice},
        {Call::Read, ERROR_BAD_COMMAND, 0, noDevice},
        {Call::Read, ERROR_ACCESS_DENIED, 0, noDevice},
        {Call::Read, ERROR_GEN_FAILURE, 0, noDevice},
        {Call::Read, kZeroBytes, 0, noDevice},
        {Call::Write, ERROR_DEVICE_NOT_CONNECTED, 1, noTransfer},
        {Call::Read, ERROR_GEN_FAILURE, 1, noTransfer},
        {Call::ClearError, ERROR_BAD_COMMAND, 1, noTransfer},
        {Call::SetTimeouts, ERROR_ACCESS_DENIED, 1, noTransfer},
        {Call::Read, kZeroBytes, 1, noTransfer},
        {Call::Write, kZeroBytes, 1, noTransfer},  // a short write
    };
    const std::string image = MakeBin(300, 5);
    ASSERT_TRUE(FileSystem::WriteWholeFile(folder / "FW.BIN", image));
    Emulator emulator(
        folder, kCom,
        "--press-after-ms -1 --stay --devices 0 --expect '" + folder.Host("FW.BIN") + "'");
    ASSERT_TRUE(emulator.Started());
    int programmed = 0;
    for (const Row& row : rows) {
        const std::string what = std::to_string(static_cast<int>(row.call)) + "/" +
                                 std::to_string(row.error) + "/" +
                                 std::to_string(row.pullAfterBlocks);
        Reset();
        auto device = std::make_unique<clsFieldProgrammer>(MakeSystemSerialPort());
        ASSERT_TRUE(device->OpenCommPort(kCom)) << what;
        RecordingView view;
        SequenceSettings settings;
        settings.animationSteps = 0;
        settings.waitRounds = 60;  // 3 s: a wait on a handle that reads nothing ends
        DownloadSequence sequence(view, settings);
        view.sequence = &sequence;
        adaptor.call = row.call;
        adaptor.error = row.error;
        adaptor.pullAfterBlocks = row.pullAfterBlocks;
        if (row.pullAfterBlocks == 0) {
            adaptor.pulled = true;
            adaptor.awayFor = 2;
        } else {
            emulator.Press();
        }
        EXPECT_FALSE(sequence.RunHeadless(std::move(device), {image.begin(), image.end()})) << what;
        EXPECT_EQ(view.Last("status"), row.status) << what;
        EXPECT_TRUE(sequence.ResetPending()) << what;

        view.wanted = 1;
        emulator.Press();
        sequence.cmdDescription_Click();
        EXPECT_EQ(adaptor.awayFor.load(), 0) << what << ": Reset did not wait for the adaptor";
        EXPECT_EQ(view.results.back(), DeviceResult::Programmed)
            << what << " " << view.Last("status");
        const std::string output = emulator.Await("EXPECT MATCH", ++programmed);
        int matches = 0;
        for (auto at = output.find("EXPECT MATCH"); at != std::string::npos;
             at = output.find("EXPECT MATCH", at + 1)) {
            ++matches;
        }
        EXPECT_EQ(matches, programmed) << what << "\n" << output;
    }
}

}  // namespace
