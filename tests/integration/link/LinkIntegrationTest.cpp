// The serial link and the device façade over a real pseudo-terminal, against the emulated
// Field Programmer: the button handshake and a clear with its progress, whole transfers checked
// byte for byte on the device's side, and the ways a device can fail the host.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "EmuBench.h"
#include "SerialPort.h"
#include "ZelSerialComms.h"
#include "clsError.h"
#include "clsFPDetails.h"
#include "clsFPMemory.h"
#include "clsFieldProgrammer.h"

using namespace bench;

namespace {

struct ClearCase {
    const char* name;
    void (*fault)(EmuOptions&);
    std::int32_t error;  // 0: the clear is accepted
    friend void PrintTo(const ClearCase& c, std::ostream* os) { *os << c.name; }
};

class Clear : public testing::TestWithParam<ClearCase> {};

// The greeting's version reply must be taken with its echo, or the echo checks of the clear's
// status query would trip over it.
TEST_P(Clear, AfterTheHandshakeIsNotRecognisedOrReportsItsPageCounterAsProgress) {
    const ClearCase& c = GetParam();
    EmuOptions options = FastOptions();
    options.pages = 0x0100;
    options.pageMs = 4;          // about a second of pages, so the counter arrives in many pieces
    options.pressAfterMs = 300;  // pressed while the host is already waiting
    c.fault(options);
    EmuLine line(options);
    ASSERT_TRUE(line.Started()) << line.Error();
    clsFieldProgrammer fp;
    std::vector<std::pair<std::int16_t, std::int32_t>> events;
    fp.Progress = [&](std::int16_t p, std::int32_t t) { events.emplace_back(p, t); };
    ASSERT_TRUE(fp.OpenCommPort(kCom));
    ASSERT_TRUE(fp.WaitForFieldProgrammer(kPressLoops));
    EXPECT_EQ(fp.LastError().Number(), 0);

    EXPECT_EQ(fp.Memory().ClearFlashMemory(), c.error == 0);
    EXPECT_EQ(fp.LastError().Number(), c.error);
    if (c.error != 0) return;
    std::vector<std::int16_t> clear;
    for (const auto& [percent, type] : events) {
        EXPECT_EQ(type, 3);
        clear.push_back(percent);
    }
    ASSERT_GE(clear.size(), 2u) << "the counter should arrive in several pieces";
    EXPECT_TRUE(std::is_sorted(clear.begin(), clear.end()));
    EXPECT_GE(clear.front(), 0);
    EXPECT_EQ(clear.back(), 100);
    EXPECT_TRUE(fp.Details().GetFPStatusRegister()) << "the dialogue is out of step";
}

INSTANTIATE_TEST_SUITE_P(
    Device, Clear,
    testing::Values(ClearCase{"Plain", [](EmuOptions&) {}, 0},
                    ClearCase{"YesNoPrompt", [](EmuOptions& o) { o.ynPrompt = "C"; }, 0},
                    ClearCase{"NoEcho", [](EmuOptions& o) { o.noEcho = "C"; }, 130},
                    ClearCase{"WrongEcho", [](EmuOptions& o) { o.wrongEcho = "C"; }, 130},
                    ClearCase{"QuestionMark", [](EmuOptions& o) { o.refuse = "C"; }, 130}),
    [](const testing::TestParamInfo<ClearCase>& row) { return std::string(row.param.name); });

struct TransferCase {
    const char* name;
    std::size_t bytes;
    void (*setUp)(EmuOptions&);
    std::int32_t error;  // 0: the transfer succeeds
    int goodBlocks, badBlocks;
    friend void PrintTo(const TransferCase& c, std::ostream* os) { *os << c.name; }
};

class Transfer : public testing::TestWithParam<TransferCase> {};

// No transfer leaves its temporary file. A good one puts the padded image into the device; a
// failing one raises its error, and nothing after the failing block reaches the device.
TEST_P(Transfer, DeviceReceivesTheBlocksUpToAnyFaultAndNoTempFileIsLeft) {
    const TransferCase& c = GetParam();
    PrivateTempDir tmp;
    EmuOptions options = FastOptions();
    c.setUp(options);
    EmuLine line(options);
    ASSERT_TRUE(line.Started()) << line.Error();
    ZelSerialComms link;
    std::vector<std::int16_t> progress;
    std::vector<std::int32_t> errors;
    link.Progress = [&](std::int16_t p) { progress.push_back(p); };
    link.Error = [&](std::int32_t e) { errors.push_back(e); };
    ASSERT_TRUE(Connect(link, line));

    const Bytes image = Noise(c.bytes, static_cast<std::uint32_t>(c.bytes) + 7);
    ShortPauses pauses;
    const bool ok = c.error == 0;
    EXPECT_EQ(link.DownloadBinaryData(image), ok) << line.LastDevice().failure;
    std::vector<std::int32_t> raised{0};
    if (!ok) raised.push_back(c.error);
    EXPECT_EQ(errors, raised);
    EXPECT_EQ(tmp.TransferFiles(), 0);
    // A line that is gone is a port failure, not a device that failed to acknowledge.
    EXPECT_EQ(link.Port().Failed(), c.error == 145);
    if (ok) {
        ASSERT_TRUE(line.Emu().WaitDevicesClosed(1, kPatienceMs)) << "no .Q reached the device";
    }

    const EmuDeviceRecord device = line.LastDevice();
    EXPECT_EQ(device.Verdict(), ok ? "OK" : "FAIL") << device.failure;
    EXPECT_TRUE(device.transferStarted);
    EXPECT_EQ(device.transferEnded, ok);
    EXPECT_EQ(device.poweredDown, ok);
    EXPECT_EQ(device.goodBlocks, c.goodBlocks);
    EXPECT_EQ(device.badBlocks, c.badBlocks);
    const Bytes padded = Padded(image);
    EXPECT_TRUE(device.image == Bytes(padded.begin(), padded.begin() + 128 * c.goodBlocks))
        << "received " << device.image.size() << " bytes";
    ASSERT_EQ(progress.size(), static_cast<std::size_t>(c.goodBlocks) + 1);
    EXPECT_EQ(progress.front(), 0);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_EQ(progress.back(), ok && c.bytes != 0 ? 100 : progress.back());
}

INSTANTIATE_TEST_SUITE_P(
    Device, Transfer,
    testing::Values(
        TransferCase{"0Bytes", 0, [](EmuOptions&) {}, 0, 0, 0},
        TransferCase{"128Bytes", 128, [](EmuOptions&) {}, 0, 1, 0},
        TransferCase{"129Bytes", 129, [](EmuOptions&) {}, 0, 2, 0},
        // Block 255 is followed by block 0.
        TransferCase{"32768Bytes", 256 * 128, [](EmuOptions&) {}, 0, 256, 0},
        // Replies that travel with their echoes.
        TransferCase{"PromptDevice", 129, [](EmuOptions& o) { o.replyDelayMs = 0; }, 0, 2, 0},
        TransferCase{"NeverC", 512, [](EmuOptions& o) { o.neverC = true; }, 144, 0, 0},
        TransferCase{"NakAtBlock2", 512, [](EmuOptions& o) { o.nakAt = 2; }, 143, 1, 1},
        TransferCase{"SilentAtBlock3", 512, [](EmuOptions& o) { o.noAckAt = 3; }, 143, 2, 1},
        TransferCase{"LineClosedAtBlock2", 512, [](EmuOptions& o) { o.closeAt = 2; }, 145, 1, 0}),
    [](const testing::TestParamInfo<TransferCase>& row) { return std::string(row.param.name); });

// Neither another process nor a second open in this one gets a held port, and the façade's
// probe says so; once the holder lets go the probe finds it free, and leaves it so.
TEST(HeldPort, IsNotFreeToAnotherProcessOrObjectUntilReleased) {
    EmuLine line(FastOptions());
    ASSERT_TRUE(line.Started()) << line.Error();
    ZelSerialComms holder;
    ASSERT_TRUE(holder.OpenCommPort(kCom));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(MakeSystemSerialPort()->Open(kCom).Opened() ? 1 : 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process got the port";

    clsFieldProgrammer other;
    EXPECT_FALSE(other.IsComPortFree(kCom));
    EXPECT_EQ(other.LastError().Number(), 101);
    ASSERT_TRUE(holder.CloseCommPort());
    EXPECT_TRUE(other.IsComPortFree(kCom));
    EXPECT_TRUE(holder.OpenCommPort(kCom)) << "the probe left the port held";
}

}  // namespace
