// The serial port on Windows: \\.\COMn opened exclusively, reads and waits through the
// port's own timeouts, bounded writes.

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "PortOpenService.h"
#include "SerialPort.h"
#include "Win32Calls.h"
#include "Win32Text.h"

namespace {

constexpr DWORD kBaud = CBR_9600;               // fixed line speed
constexpr DWORD kReceiveQueue = 1024;           // bytes of the driver's receive buffer
constexpr DWORD kTransmitQueue = 512;           // bytes of the driver's transmit buffer
constexpr std::size_t kMaxReadPerCall = 65536;  // bytes; a chattering line cannot pin ReadAll
constexpr DWORD kWriteStallMs = 3000;           // ms a write may wait for room before failing
constexpr DWORD kMsPerByteAt9600 = 2;           // ms, about twice the wire time of one byte
constexpr int kCloseDrainMs = 2000;             // ms allowed for queued output to leave on close
constexpr int kDrainPollMs = 10;                // ms between output-queue checks on close
constexpr DWORD kReadChunk = 4096;              // bytes per ReadFile in ReadAll

// "COM7", "com7" and "\\.\COM7" all mean \\.\COM7, the only form that reaches COM10 and up.
std::string NormalisedDevice(const std::string& device) {
    std::string name = device;
    if (name.rfind("\\\\.\\", 0) == 0) name.erase(0, 4);
    const bool isCom = name.size() > 3 && name.size() <= 6 &&
                       std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
                       std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
                       std::toupper(static_cast<unsigned char>(name[2])) == 'M' &&
                       std::all_of(name.begin() + 3, name.end(), [](char c) {
                           return std::isdigit(static_cast<unsigned char>(c)) != 0;
                       });
    return isCom ? "\\\\.\\COM" + name.substr(3) : device;
}

bool IsFolder(const std::string& path) {
    const DWORD attributes = Win32Api().GetFileAttributesW(Widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

HANDLE AsHandle(const OpenedHandle& opened) {
    return reinterpret_cast<HANDLE>(opened.handle);
}

// A handle opened when nobody wanted it any more: DTR and RTS, which the driver may raise on
// open, go down at once. Share mode 0 means the port was nobody else's.
void DiscardLate(const OpenedHandle& late) {
    Win32Api().EscapeCommFunction(AsHandle(late), CLRDTR);
    Win32Api().EscapeCommFunction(AsHandle(late), CLRRTS);
    Win32Api().CloseHandle(AsHandle(late));
}

class Win32SerialPort : public SerialPort {
  public:
    ~Win32SerialPort() override { Close(); }

    PortOpenResult OpenDevice(const std::string& device) override {
        return RunOpen(PlanDevice(device));
    }

    OpenPlan PlanOpen(int comPort) override {
        OpenPlan plan;
        const std::string device = ComPortDevicePath(comPort);
        if (!device.empty()) plan = PlanDevice(device);
        plan.result.comPort = comPort;
        return plan;
    }

    PortOpenResult FinishOpen(PortOpenResult result,
                              const std::optional<OpenedHandle>& got) override {
        if (!got) {
            result.status = PortOpenStatus::NotAnswering;
        } else if (handle_ != INVALID_HANDLE_VALUE) {
            if (got->Valid()) DiscardLate(*got);
            result.status = PortOpenStatus::Busy;
            result.holder = "this program";
        } else {
            SetUp(*got, result);
        }
        return result;
    }

    bool Close() override {
        if (handle_ == INVALID_HANDLE_VALUE) return true;
        bool ok = true;
        if (!failed_) {
            DrainOutput();
            ok = Win32Api().SetCommState(handle_, &savedState_) &&
                 Win32Api().SetCommTimeouts(handle_, &savedTimeouts_);
        }
        if (!Win32Api().CloseHandle(handle_) && !failed_) ok = false;
        handle_ = INVALID_HANDLE_VALUE;
        failed_ = false;
        lookahead_.clear();
        return ok;
    }

    bool IsOpen() const override { return handle_ != INVALID_HANDLE_VALUE; }

    std::string ReadAll() override {
        std::string out;
        if (handle_ == INVALID_HANDLE_VALUE || failed_) return out;
        out.swap(lookahead_);
        if (!UseReadTimeout(0)) return out;
        char buffer[kReadChunk];
        while (out.size() < kMaxReadPerCall) {
            DWORD got = 0;
            if (!Win32Api().ReadFile(handle_, buffer, sizeof buffer, &got, nullptr)) {
                failed_ = true;
                break;
            }
            if (got == 0) break;
            out.append(buffer, got);
        }
        return out;
    }

    bool Write(const std::string& bytes) override {
        if (handle_ == INVALID_HANDLE_VALUE || failed_) return false;
        if (bytes.empty()) return true;
        if (bytes.size() > MAXDWORD / kMsPerByteAt9600) return false;
        DWORD put = 0;
        if (!Win32Api().WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &put,
                                  nullptr)) {
            failed_ = true;
            return false;
        }
        // Fewer bytes than asked: the write timeout ran out (a stalled line), not a lost port.
        return put == bytes.size();
    }

    bool SetBreak(bool on) override {
        if (handle_ == INVALID_HANDLE_VALUE || failed_) return false;
        return on ? Win32Api().SetCommBreak(handle_) != FALSE
                  : Win32Api().ClearCommBreak(handle_) != FALSE;
    }

    // Receive notifications are not used here; the value is only kept.
    bool SetRThreshold(int bytes) override {
        rThreshold_ = bytes;
        return true;
    }

    // Windows has no "wait until readable" for a port that works everywhere (WaitCommEvent is
    // unusable under Wine), so this reads one byte with a total timeout and keeps it for the
    // next ReadAll. The read ends the moment a byte arrives.
    bool WaitReadable(int ms) override {
        if (handle_ == INVALID_HANDLE_VALUE || failed_) return false;
        if (!lookahead_.empty()) return true;
        DWORD errors = 0;
        COMSTAT status{};
        if (!Win32Api().ClearCommError(handle_, &errors, &status)) {
            failed_ = true;
            return false;
        }
        if (status.cbInQue > 0) return true;
        if (ms <= 0 || !UseReadTimeout(static_cast<DWORD>(ms))) return false;
        char byte = 0;
        DWORD got = 0;
        if (!Win32Api().ReadFile(handle_, &byte, 1, &got, nullptr)) {
            failed_ = true;
            return false;
        }
        if (got == 0) return false;
        lookahead_.assign(1, byte);
        return true;
    }

    bool Failed() const override { return failed_; }

  private:
    // The system's open of `device`, on the service: CreateFile can take 20 s and more.
    OpenPlan PlanDevice(const std::string& device) {
        OpenPlan plan;
        plan.result.device = NormalisedDevice(device);
        if (handle_ != INVALID_HANDLE_VALUE) {
            plan.result.status = PortOpenStatus::Busy;
            plan.result.holder = "this program";
            return plan;
        }
        const std::wstring path = Widen(plan.result.device);
        plan.call.open = [path] {
            // Share mode 0: no one else may open the port while we hold it.
            const HANDLE handle = Win32Api().CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                         0, nullptr, OPEN_EXISTING, 0, nullptr);
            return OpenedHandle{
                reinterpret_cast<std::intptr_t>(handle),
                handle == INVALID_HANDLE_VALUE ? static_cast<long>(GetLastError()) : 0};
        };
        plan.call.discard = DiscardLate;
        return plan;
    }

    // Sets up what the system's open gave, telling in `result` why it could not be had.
    void SetUp(const OpenedHandle& opened, PortOpenResult& result) {
        const auto fail = [&result](PortOpenStatus status, DWORD error) {
            result.status = status;
            if (error != 0) result.reason = SystemErrorText(error);
        };
        const HANDLE handle = AsHandle(opened);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = static_cast<DWORD>(opened.error);
            switch (error) {
                case ERROR_FILE_NOT_FOUND:
                case ERROR_PATH_NOT_FOUND:
                case ERROR_INVALID_NAME:
                case ERROR_BAD_PATHNAME:
                    return fail(PortOpenStatus::NoDevice, error);
                // Windows reports a port another program holds as "access denied", and does
                // not say who holds it. A folder gives the same answer.
                case ERROR_ACCESS_DENIED:
                case ERROR_SHARING_VIOLATION:
                    if (IsFolder(result.device)) return fail(PortOpenStatus::NotSerial, 0);
                    return fail(PortOpenStatus::Busy, 0);
                default:
                    return fail(PortOpenStatus::Failed, error);
            }
        }
        DCB saved{};
        saved.DCBlength = sizeof saved;
        COMMTIMEOUTS savedTimeouts{};
        if (!Win32Api().GetCommState(handle, &saved) ||
            !Win32Api().GetCommTimeouts(handle, &savedTimeouts)) {
            const DWORD error = GetLastError();
            Win32Api().CloseHandle(handle);
            return fail(PortOpenStatus::NotSerial, error);
        }
        // Queue sizes are a request the driver may round or ignore.
        Win32Api().SetupComm(handle, kReceiveQueue, kTransmitQueue);

        DCB dcb = saved;
        dcb.BaudRate = kBaud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;  // DTR raised while open
        dcb.fDsrSensitivity = FALSE;
        dcb.fTXContinueOnXoff = TRUE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = TRUE;  // parity errors read as '?' (there are none without parity)
        dcb.ErrorChar = '?';
        dcb.fNull = FALSE;  // NUL bytes are data
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
        dcb.fAbortOnError = FALSE;  // a framing error must not stall every later read
        timeouts_ = ImmediateReads();
        if (!Win32Api().SetCommState(handle, &dcb) ||
            !Win32Api().SetCommTimeouts(handle, &timeouts_)) {
            const DWORD error = GetLastError();
            Win32Api().SetCommState(handle, &saved);
            Win32Api().CloseHandle(handle);
            return fail(PortOpenStatus::Failed, error);
        }
        handle_ = handle;
        savedState_ = saved;
        savedTimeouts_ = savedTimeouts;
        failed_ = false;
        lookahead_.clear();
        result.status = PortOpenStatus::Opened;
    }

    // Reads return at once with whatever is waiting; writes may take their wire time plus a
    // generous stall allowance.
    static COMMTIMEOUTS ImmediateReads() {
        COMMTIMEOUTS t{};
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = 0;
        t.ReadTotalTimeoutConstant = 0;
        t.WriteTotalTimeoutMultiplier = kMsPerByteAt9600;
        t.WriteTotalTimeoutConstant = kWriteStallMs;
        return t;
    }

    // 0: reads take what is waiting and return; otherwise a read waits at most `ms` in all.
    bool UseReadTimeout(DWORD ms) {
        COMMTIMEOUTS wanted = ImmediateReads();
        if (ms > 0) {
            wanted.ReadIntervalTimeout = 0;
            wanted.ReadTotalTimeoutConstant = ms;
        }
        if (wanted.ReadIntervalTimeout == timeouts_.ReadIntervalTimeout &&
            wanted.ReadTotalTimeoutConstant == timeouts_.ReadTotalTimeoutConstant) {
            return true;
        }
        if (!Win32Api().SetCommTimeouts(handle_, &wanted)) {
            failed_ = true;
            return false;
        }
        timeouts_ = wanted;
        return true;
    }

    // Restoring the old speed while our last bytes are still queued would garble them.
    void DrainOutput() {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseDrainMs);
        DWORD errors = 0;
        COMSTAT status{};
        while (Win32Api().ClearCommError(handle_, &errors, &status) && status.cbOutQue > 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kDrainPollMs));
        }
    }

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    bool failed_ = false;
    int rThreshold_ = 1;
    std::string lookahead_;  // a byte WaitReadable took, handed out first by ReadAll
    DCB savedState_{};
    COMMTIMEOUTS savedTimeouts_{};
    COMMTIMEOUTS timeouts_{};
};

}  // namespace

// Cancels the synchronous I/O (CreateFile included) of the thread that asked for this.
std::function<void()> ThisThreadWaker() {
    HANDLE self = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
        return {};
    }
    const std::shared_ptr<void> thread(self, CloseHandle);
    return [thread] { CancelSynchronousIo(thread.get()); };
}

std::unique_ptr<SerialPort> MakeSystemSerialPort() {
    return std::make_unique<Win32SerialPort>();
}
