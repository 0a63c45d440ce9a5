// Arbitrary device replies, in virtual time, into every command of the Field Programmer's
// command set and into the binary transfer.
//
// Input layout: operation selector, flags, a 16-bit argument, then reply chunks. Each chunk
// is [length][timing][bytes]; the next chunk goes out after every write of the host, timing
// & 0x7F tens of milliseconds later, and timing & 0x80 sends the chunk after it on the same
// write as well. With the echo flag set the fake device also echoes everything it is sent.

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "FakeSerialPort.h"
#include "FuzzTargets.h"
#include "clsError.h"
#include "clsFPBuffers.h"
#include "clsFPDetails.h"
#include "clsFPMemory.h"
#include "clsFPMisc.h"
#include "clsFieldProgrammer.h"
#include "clsTiming.h"

namespace {

// Every wait of the link is bounded; a loop that runs on in virtual time is a hang, so the
// clock turns it into a failure with a stack instead of a silent timeout.
class BoundedClock : public VirtualClock {
  public:
    void SleepMs(std::int64_t ms) override {
        VirtualClock::SleepMs(ms);
        if (NowMs() > kLimitMs) FuzzFail("a device wait ran past 48 hours of virtual time");
    }

  private:
    static constexpr std::int64_t kLimitMs = 48LL * 3600 * 1000;  // two days of virtual time
};

enum Operation {
    kWaitForFieldProgrammer,
    kGetFPVersion,
    kGetFPStatusRegister,
    kReadProgramName,
    kReadFlashBankAddr,
    kReadAllFlashBankAddrs,
    kReadIndividualAddress,
    kWriteIndividualAddress,
    kReadBlockAddress,
    kClearFlashMemory,
    kReWriteFlashMemory,
    kDownloadBinaryData,
    kReadInternalReceiveBuffer,
    kReadPrimaryFlashRAMBuffer,
    kReadSecondaryFlashRAMBuffer,
    kExecuteInterpreter,
    kPowerdownFP,
    kFlashFPLEDs,
    kOperationCount,
    kEverything = kOperationCount,  // the handshake, then every operation in turn
};

// Keeps TMPDIR pointed at the target's own folder while an operation runs, so that the
// transfer's temporary file can be looked for afterwards; restores it for the other targets.
class TempFolderScope {
  public:
    explicit TempFolderScope(const std::string& folder) {
        const char* old = std::getenv("TMPDIR");
        had_ = old != nullptr;
        if (had_) old_ = old;
        setenv("TMPDIR", folder.c_str(), 1);
    }
    ~TempFolderScope() {
        if (had_)
            setenv("TMPDIR", old_.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

  private:
    bool had_ = false;
    std::string old_;
};

class Session {
  public:
    Session(FuzzInput& in, bool echo, std::uint16_t argument)
        : in_(in), argument_(argument), clock_(std::make_shared<BoundedClock>()) {
        clsTiming::InstallClock(clock_);
        auto port = std::make_unique<FakeSerialPort>(clock_);
        port_ = port.get();
        port_->echo = echo;
        port_->OnWrite = [this](FakeSerialPort& p, const std::string&) { SendChunks(p); };
        fp_ = std::make_unique<clsFieldProgrammer>(std::move(port));
        fp_->Progress = [](std::int16_t percent, std::int32_t type) {
            // Page progress (3, 4) is the device's own count; the rest the host computes.
            if (type != 3 && type != 4)
                FUZZ_CHECK(percent >= 0 && percent <= 100, "progress outside 0 to 100");
            FUZZ_CHECK(type >= 0 && type <= 6, "unknown progress type");
        };
        fp_->Error = [this] {
            FUZZ_CHECK(fp_->LastError().Number() != 0, "Error raised without a number");
        };
        FUZZ_CHECK(fp_->OpenCommPort(1), "the fake port did not open");
    }
    ~Session() {
        fp_->CloseCommPort();
        fp_.reset();
        clsTiming::InstallClock(nullptr);
    }

    void Run(int operation, const std::string& scratch) {
        if (operation == kEverything) {
            if (!fp_->WaitForFieldProgrammer(50)) return;
            for (int op = kGetFPVersion; op < kOperationCount; ++op) RunOne(op, scratch);
            return;
        }
        if (operation != kWaitForFieldProgrammer) fp_->Context().gblnConnected = true;
        RunOne(operation, scratch);
    }

  private:
    void SendChunks(FakeSerialPort& port) {
        for (;;) {
            if (in_.Empty()) return;
            const std::size_t length = in_.Byte();
            const std::uint8_t timing = in_.Byte();
            port.Deliver(in_.Bytes(length), static_cast<std::int64_t>(timing & 0x7F) * 10);
            if ((timing & 0x80) == 0) return;
        }
    }

    void RunOne(int operation, const std::string& scratch) {
        clsFPMemory& memory = fp_->Memory();
        clsFPDetails& details = fp_->Details();
        clsFPBuffers& buffers = fp_->Buffers();
        clsFPMisc& misc = fp_->Misc();
        std::string text;
        try {
            switch (operation) {
                // Loop count 0 would wait for the button without limit, as it should.
                case kWaitForFieldProgrammer:
                    fp_->WaitForFieldProgrammer(1 + argument_ % 59);
                    break;
                case kGetFPVersion:
                    details.GetFPVersion();
                    break;
                case kGetFPStatusRegister:
                    details.GetFPStatusRegister();
                    break;
                case kReadProgramName:
                    if (details.ReadProgramName())
                        FUZZ_CHECK(details.ProgramName().size() == 9,
                                   "program name is not 9 characters");
                    break;
                case kReadFlashBankAddr:
                    memory.ReadFlashBankAddr(argument_ * 2 - 0x100, text);
                    break;
                case kReadAllFlashBankAddrs:
                    if (memory.ReadAllFlashBankAddrs()) {
                        const std::vector<std::uint8_t> image = memory.AllFlashBankData();
                        FUZZ_CHECK(image.size() >= 8, "read-back image shorter than its header");
                        for (int i = 0; i < 6; ++i)
                            FUZZ_CHECK(image[i] == 0, "read-back header not zero");
                    }
                    break;
                case kReadIndividualAddress:
                    memory.ReadIndividualAddress(argument_ << 9, text);
                    break;
                case kWriteIndividualAddress:
                    text = in_.Bytes(argument_ % 4);
                    memory.WriteIndividualAddress(argument_, text);
                    break;
                case kReadBlockAddress: {
                    std::vector<std::string> block;
                    const std::int32_t size = argument_ % 48;
                    if (memory.ReadBlockAddress(argument_ << 8, size, block))
                        FUZZ_CHECK(block.size() == static_cast<std::size_t>(size) + 1,
                                   "block read size");
                    break;
                }
                case kClearFlashMemory:
                    memory.ClearFlashMemory();
                    break;
                case kReWriteFlashMemory:
                    memory.ReWriteFlashMemory();
                    break;
                case kDownloadBinaryData: {
                    std::vector<std::uint8_t> image(argument_ % 700);
                    for (std::size_t i = 0; i < image.size(); ++i)
                        image[i] = static_cast<std::uint8_t>(i * 37 + 11);
                    memory.AllFlashBankData(image);
                    const TempFolderScope temp(scratch);
                    memory.DownloadBinaryData();
                    // On every path the transfer's temporary file is gone again.
                    FUZZ_CHECK(std::filesystem::is_empty(scratch),
                               "the transfer left a temporary file");
                    break;
                }
                case kReadInternalReceiveBuffer:
                    buffers.ReadInternalReceiveBuffer();
                    break;
                case kReadPrimaryFlashRAMBuffer:
                    buffers.ReadPrimaryFlashRAMBuffer();
                    break;
                case kReadSecondaryFlashRAMBuffer:
                    buffers.ReadSecondaryFlashRAMBuffer();
                    break;
                case kExecuteInterpreter:
                    misc.ExecuteInterpreter();
                    break;
                case kPowerdownFP:
                    misc.PowerdownFP();
                    break;
                case kFlashFPLEDs:
                    misc.FlashFPLEDs();
                    break;
                default:
                    break;
            }
        } catch (const std::exception& e) {
            // Device replies are outside input: no reply may surface as an exception.
            FuzzFail(std::string("device operation ") + std::to_string(operation) +
                     " threw: " + e.what());
        }
    }

    FuzzInput& in_;
    std::uint16_t argument_;
    std::shared_ptr<BoundedClock> clock_;
    FakeSerialPort* port_ = nullptr;
    std::unique_ptr<clsFieldProgrammer> fp_;
};

}  // namespace

int FuzzDevice(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const int operation = in.Byte() % (kOperationCount + 1);
    const std::uint8_t flags = in.Byte();
    const std::uint16_t argument = in.Word();
    const std::string scratch = FuzzScratchFolder("device");
    Session session(in, (flags & 1) != 0, argument);
    session.Run(operation, scratch);
    return 0;
}
