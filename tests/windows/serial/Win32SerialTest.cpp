// The Win32 serial port and the download sequence above it against the emulator on COM 2, behind
// a table of Win32 calls that plays what real adaptors do and Wine cannot.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "DownloadSequence.h"
#include "Images.h"
#include "RecordingView.h"
#include "Win32Calls.h"
#include "WineHost.h"
#include "clsFieldProgrammer.h"

namespace {

using namespace winehost;

constexpr int kCom = 2;
constexpr std::size_t kFrameSize = 133;  // bytes of one transfer block on the wire
constexpr DWORD kNothing = 0;            // the call succeeds and moves nothing (half, for writes)

enum class Call { None, Read, Write, ClearError, SetTimeouts };

// The adaptor the table plays. Opens run on a worker thread, hence the atomics.
struct Adaptor {
    std::atomic<DWORD> openError{0};       // every open fails so (a held or absent port)
    std::atomic<int> awayFor{0};           // so many opens after a pull find no device
    std::atomic<HANDLE> release{nullptr};  // set: opens hang until it is signalled
    std::atomic<HANDLE> late{INVALID_HANDLE_VALUE}, lateClosed{INVALID_HANDLE_VALUE};
    std::atomic<int> lateRaised{0};        // the late handle was set up with DTR raised
    std::atomic<bool> lateLowered{false};  // its DTR was put down
    std::wstring opened;                   // the last name asked for
    Call call = Call::None;
    DWORD error = 0;
    int pullAfterBlocks = 0;  // 0: pulled already; n: once n blocks went out
    int blocks = 0;
    bool pulled = false;
} adaptor;

const Win32Calls& kSystem = Win32SystemCalls();

// Whether the pulled adaptor meets `call`, which then fails with its error or moves nothing.
bool Meets(Call call) {
    SetLastError(adaptor.error);
    return adaptor.pulled && adaptor.call == call;
}

const Win32Calls kAdaptorCalls = [] {
    Win32Calls calls = Win32SystemCalls();
    calls.CreateFileW = [](LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                           DWORD how, DWORD flags, HANDLE from) {
        adaptor.opened = name;
        const HANDLE release = adaptor.release.load();
        if (release != nullptr) WaitForSingleObject(release, 20000);
        const DWORD error = adaptor.openError.load() != 0 ? adaptor.openError.load()
                            : adaptor.awayFor-- > 0       ? ERROR_FILE_NOT_FOUND
                                                          : 0;
        SetLastError(error);
        if (error != 0) return INVALID_HANDLE_VALUE;
        const HANDLE handle = kSystem.CreateFileW(name, access, share, sa, how, flags, from);
        if (release != nullptr) adaptor.late = handle;
        adaptor.pulled = false;  // the adaptor is back
        adaptor.blocks = 0;
        return handle;
    };
    calls.ReadFile = [](HANDLE h, LPVOID bytes, DWORD size, LPDWORD got, LPOVERLAPPED o) -> BOOL {
        if (!Meets(Call::Read)) return kSystem.ReadFile(h, bytes, size, got, o);
        *got = 0;
        return adaptor.error == kNothing;
    };
    calls.WriteFile = [](HANDLE h, LPCVOID bytes, DWORD size, LPDWORD put, LPOVERLAPPED o) -> BOOL {
        const bool met = Meets(Call::Write);
        if (met && adaptor.error != kNothing) return FALSE;
        const BOOL ok = kSystem.WriteFile(h, bytes, met ? size / 2 : size, put, o);
        if (size == kFrameSize && ++adaptor.blocks == adaptor.pullAfterBlocks) {
            adaptor.pulled = true;  // once: the next device on the replugged adaptor goes well
            adaptor.awayFor = 2;
            adaptor.pullAfterBlocks = 0;
        }
        return ok;
    };
    calls.ClearCommError = [](HANDLE h, LPDWORD errors, LPCOMSTAT status) -> BOOL {
        return !Meets(Call::ClearError) && kSystem.ClearCommError(h, errors, status);
    };
    calls.SetCommTimeouts = [](HANDLE h, LPCOMMTIMEOUTS timeouts) -> BOOL {
        return !Meets(Call::SetTimeouts) && kSystem.SetCommTimeouts(h, timeouts);
    };
    calls.SetCommState = [](HANDLE h, LPDCB dcb) -> BOOL {
        if (h == adaptor.late.load() && dcb->fDtrControl == DTR_CONTROL_ENABLE)
            ++adaptor.lateRaised;
        return kSystem.SetCommState(h, dcb);
    };
    calls.EscapeCommFunction = [](HANDLE h, DWORD function) -> BOOL {
        if (h == adaptor.late.load() && function == CLRDTR) adaptor.lateLowered = true;
        return kSystem.EscapeCommFunction(h, function);
    };
    calls.CloseHandle = [](HANDLE h) {
        if (h == adaptor.late.load()) adaptor.lateClosed = h;
        return kSystem.CloseHandle(h);
    };
    return calls;
}();

class AdaptorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Emulator::Available())
            GTEST_SKIP() << "needs Wine and FIELDPROG_EMU (scripts/test-windows)";
        Win32Api() = kAdaptorCalls;
    }
    void TearDown() override { Win32Api() = Win32SystemCalls(); }
    static void Plug(Call call = Call::None, DWORD error = 0, int pullAfterBlocks = 0) {
        adaptor.openError = 0;
        adaptor.call = call;
        adaptor.error = error;
        adaptor.pullAfterBlocks = pullAfterBlocks;
        adaptor.pulled = call != Call::None && pullAfterBlocks == 0;
        adaptor.awayFor = adaptor.pulled ? 2 : 0;
    }
    Folder folder;
};

// Any spelling of a port reaches \\.\COMn, and a port another program holds is busy. The ports
// above COM 4 that SetupAPI lists are offered, each with its friendly name, and one enumerated
// by a USB maker's bus is an adaptor.
TEST_F(AdaptorTest, NamesThePortsAndTellsAnAbsentOrHeldOne) {
    const struct {
        const char* name;
        DWORD error;
        std::string told;  // the name opened first
    } rows[] = {
        {"COM7", ERROR_FILE_NOT_FOUND, "\\\\.\\COM7: no such device"},
        {"com12", ERROR_FILE_NOT_FOUND, "\\\\.\\COM12: no such device"},
        {"\\\\.\\COM12", ERROR_PATH_NOT_FOUND, "\\\\.\\COM12: no such device"},
        {"COM2", ERROR_ACCESS_DENIED, "\\\\.\\COM2 is busy: held by another program"},
        {"COM2", ERROR_SHARING_VIOLATION, "\\\\.\\COM2 is busy: held by another program"},
    };
    for (const auto& row : rows) {
        Plug();
        adaptor.openError = row.error;
        EXPECT_EQ(DescribePortOpen(MakeSystemSerialPort()->OpenDevice(row.name)), row.told);
        EXPECT_EQ(adaptor.opened, Widen(row.told.substr(0, row.told.find_first_of(": "))));
    }

    Win32Calls calls = Win32SystemCalls();
    calls.SetupDiGetClassDevsW = [](const GUID*, PCWSTR, HWND, DWORD) { return HDEVINFO(1); };
    calls.SetupDiEnumDeviceInfo = [](HDEVINFO, DWORD index, PSP_DEVINFO_DATA device) -> BOOL {
        device->DevInst = index;
        return index < 2;
    };
    calls.SetupDiOpenDevRegKey = [](HDEVINFO, PSP_DEVINFO_DATA device, DWORD, DWORD, DWORD,
                                    REGSAM) { return HKEY(std::uintptr_t(device->DevInst) + 1); };
    calls.RegQueryValueExW = [](HKEY key, LPCWSTR, LPDWORD, LPDWORD type, LPBYTE data,
                                LPDWORD bytes) -> LONG {
        const std::wstring name = key == HKEY(1) ? L"COM7" : L"com12";
        *bytes = DWORD((name.size() + 1) * sizeof(wchar_t));
        name.copy(reinterpret_cast<wchar_t*>(data), name.size());
        *type = REG_SZ;
        return ERROR_SUCCESS;
    };
    calls.RegCloseKey = [](HKEY) -> LONG { return ERROR_SUCCESS; };
    // COM 7 an FTDI adaptor on its maker's bus; COM 12 a built-in port without a friendly name.
    calls.SetupDiGetDeviceRegistryPropertyW = [](HDEVINFO, PSP_DEVINFO_DATA device, DWORD what,
                                                 PDWORD, PBYTE name, DWORD, PDWORD) -> BOOL {
        const std::wstring text =
            what == SPDRP_FRIENDLYNAME && device->DevInst == 0 ? L"USB Serial Port (COM7)"
            : what == SPDRP_ENUMERATOR_NAME ? (device->DevInst == 0 ? L"FTDIBUS" : L"ACPI")
                                            : L"";
        text.copy(reinterpret_cast<wchar_t*>(name), text.size());
        return !text.empty();
    };
    calls.SetupDiDestroyDeviceInfoList = [](HDEVINFO) -> BOOL { return TRUE; };
    calls.QueryDosDeviceW = [](LPCWSTR, LPWSTR, DWORD) -> DWORD { return 0; };
    calls.GetFileAttributesW = [](LPCWSTR) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    };
    Win32Api() = calls;
    EXPECT_EQ(PresentComPortsAbove4(), (std::vector<int>{7, 12}));
    EXPECT_EQ(ComPortDescription(7), "USB Serial Port (COM7)");
    EXPECT_EQ(ComPortDescription(12), "");
    EXPECT_TRUE(ComPortIsUsbAdaptor(7));
    EXPECT_FALSE(ComPortIsUsbAdaptor(12));
}

// An open that hangs leaves the message loop turning, gives up as not answering and closes the
// handle it gets late, so the port can be had again at once. A pulled adaptor, whichever call
// meets it and however it fails (or moves nothing), shows the connection text in a wait and the
// transfer text in a transfer; once back (after two opens find nothing), Reset programs anew.
TEST_F(AdaptorTest, AHangingOpenOrAPulledAdaptorIsToldAndTheNextDeviceProgrammed) {
    const std::string noDevice =
                          "status: Error: Failed to connect to the Field Programmer, "
                          "please check it is correctly connected.",
                      noTransfer = "status: Error: Download Failed.";
    const struct {
        Call call;
        DWORD error;
        int pullAfterBlocks;  // 0: during the button wait
    } rows[] = {
        {Call::Read, ERROR_DEVICE_NOT_CONNECTED, 0},  {Call::Read, kNothing, 0},
        {Call::Read, ERROR_GEN_FAILURE, 1},           {Call::Read, kNothing, 1},
        {Call::Write, ERROR_DEVICE_NOT_CONNECTED, 1}, {Call::Write, kNothing, 1},  // a short write
        {Call::ClearError, ERROR_BAD_COMMAND, 1},     {Call::SetTimeouts, ERROR_ACCESS_DENIED, 1}};
    const Bytes image = BinImage(300, 5);
    ASSERT_TRUE(FileSystem::WriteWholeFile(folder / "FW.BIN", Text(image)));
    Plug();
    Emulator emulator(folder, kCom,
                      "--press-after-ms -1 --stay --devices 0 --pages 0040 --expect '" +
                          folder.Host("FW.BIN") + "'");
    ASSERT_TRUE(emulator.Started());
    {
        const HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        adaptor.release = release;
        auto port = MakeSystemSerialPort();
        int turns = 0;
        port->WhileOpening([&] { ++turns; });
        EXPECT_EQ(DescribePortOpen(port->Open(kCom)), "\\\\.\\COM2 is not answering");
        EXPECT_GT(turns, 1) << "the message loop stood still while the open hung";
        adaptor.release = nullptr;
        SetEvent(release);
        EXPECT_TRUE(Await([] { return adaptor.lateClosed != INVALID_HANDLE_VALUE; }))
            << "the late handle stayed open";
        EXPECT_TRUE(port->Open(kCom).Opened()) << "the abandoned open still holds the port";
        port->Close();
        // Quit during the open: the wait ends, and the handle that comes after it is closed
        // with DTR put down, never set up.
        EXPECT_TRUE(adaptor.lateLowered.exchange(false));
        adaptor.lateClosed = adaptor.late = INVALID_HANDLE_VALUE;
        ResetEvent(release);
        adaptor.release = release;
        port->WhileOpening([&] {
            port->CancelOpen();
            adaptor.release = nullptr;
            SetEvent(release);
        });
        EXPECT_FALSE(port->Open(kCom).Opened());
        EXPECT_TRUE(Await([] { return adaptor.lateClosed != INVALID_HANDLE_VALUE; }));
        EXPECT_TRUE(adaptor.lateLowered && adaptor.lateRaised == 0);
        CloseHandle(release);
    }
    int programmed = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << "row " << (&row - rows));
        Plug();
        auto device = std::make_unique<clsFieldProgrammer>(MakeSystemSerialPort());
        ASSERT_TRUE(device->OpenCommPort(kCom));
        RecordingView view;
        SequenceSettings settings;
        settings.animationSteps = 0;
        settings.waitRounds = 60;  // 3 s, for a wait on a handle that reads nothing
        DownloadSequence sequence(view, settings);
        view.sequence = &sequence;
        Plug(row.call, row.error, row.pullAfterBlocks);
        if (row.pullAfterBlocks > 0) emulator.Press();
        EXPECT_FALSE(sequence.RunHeadless(std::move(device), image));
        EXPECT_EQ(view.Last("status"), row.pullAfterBlocks == 0 ? noDevice : noTransfer);

        view.wanted = 1;
        emulator.Press();
        sequence.cmdDescription_Click();
        EXPECT_EQ(adaptor.awayFor.load(), -1) << "Reset gave up before the adaptor was back";
        ASSERT_EQ(view.results.back(), DeviceResult::Programmed);
        const std::string output = emulator.Await("EXPECT MATCH", ++programmed);
        EXPECT_EQ(Count(output, "EXPECT MATCH"), programmed) << output;
    }
}

// The line while the port is open, whatever the program before left set (all bits off, all on),
// and that program's settings back once it is closed.
struct Line {
    DCB before, set;
    COMMTIMEOUTS timeouts;
    DWORD queues[2];
} line;

TEST(PortSettings, NineSixHundredEightNoneOneDtrRaisedNoFlowControlNulKept) {
    Win32Calls calls = Win32SystemCalls();
    calls.CreateFileW = [](LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
        return HANDLE(0x7e57);
    };
    calls.GetCommState = [](HANDLE, LPDCB dcb) { return *dcb = line.before, TRUE; };
    calls.SetCommState = [](HANDLE, LPDCB dcb) { return line.set = *dcb, TRUE; };
    calls.GetCommTimeouts = [](HANDLE, LPCOMMTIMEOUTS t) { return *t = {}, TRUE; };
    calls.SetCommTimeouts = [](HANDLE, LPCOMMTIMEOUTS t) { return line.timeouts = *t, TRUE; };
    calls.SetupComm = [](HANDLE, DWORD in, DWORD out) -> BOOL {
        line.queues[0] = in, line.queues[1] = out;
        return TRUE;
    };
    calls.ClearCommError = [](HANDLE, LPDWORD, LPCOMSTAT status) { return *status = {}, TRUE; };
    calls.CloseHandle = [](HANDLE) -> BOOL { return TRUE; };
    calls.WriteFile = [](HANDLE, LPCVOID, DWORD size, LPDWORD put, LPOVERLAPPED) -> BOOL {
        return *put = size / 2, TRUE;  // the write timeout ran out half-way
    };
    Win32Api() = calls;
    for (const int bits : {0x00, 0xFF}) {
        std::memset(&line.before, bits, sizeof line.before);
        auto port = MakeSystemSerialPort();
        ASSERT_TRUE(port->OpenDevice("COM3").Opened());
        const DCB& d = line.set;
        const COMMTIMEOUTS& t = line.timeouts;
        const std::pair<const char*, bool> rows[] = {
            {"baud", d.BaudRate == CBR_9600},
            {"data bits", d.ByteSize == 8},
            {"parity", d.Parity == NOPARITY && !d.fParity},
            {"stop bits", d.StopBits == ONESTOPBIT},
            {"binary", d.fBinary},
            {"DTR raised", d.fDtrControl == DTR_CONTROL_ENABLE},
            {"RTS not raised", d.fRtsControl == RTS_CONTROL_DISABLE},
            {"no CTS/DSR handshake", !d.fOutxCtsFlow && !d.fOutxDsrFlow && !d.fDsrSensitivity},
            {"no XON/XOFF", !d.fOutX && !d.fInX},
            {"NUL bytes kept", !d.fNull},
            {"parity errors read \"?\"", d.fErrorChar && d.ErrorChar == '?'},
            {"errors do not stop reads", !d.fAbortOnError},
            {"buffers 1024/512", line.queues[0] == 1024 && line.queues[1] == 512},
            {"a read takes what waits", t.ReadIntervalTimeout == MAXDWORD &&
                                            t.ReadTotalTimeoutConstant == 0 &&
                                            t.ReadTotalTimeoutMultiplier == 0},
        };
        for (const auto& [what, met] : rows) EXPECT_TRUE(met) << what << ", bits " << bits;
        EXPECT_FALSE(port->Write("block")) << "a write cut short counts as sent";
        EXPECT_TRUE(port->Close());
        EXPECT_EQ(std::memcmp(&line.set, &line.before, sizeof(DCB)), 0) << "not restored";
    }
    Win32Api() = Win32SystemCalls();
}

}  // namespace
