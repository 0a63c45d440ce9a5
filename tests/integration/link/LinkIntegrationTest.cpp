// The serial link and the device façade over a real pseudo-terminal, against the emulated
// Field Programmer: the button handshake, progress of a clear, whole transfers checked byte
// for byte on the device's side, and the ways a device can fail the host.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
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

constexpr std::int32_t kTypeClear = 3;
constexpr std::int32_t kErrOpen = 101;
constexpr std::int32_t kErrConnect = 103;
constexpr std::int32_t kErrNoAck = 143;
constexpr std::int32_t kErrNoStart = 144;
constexpr std::int32_t kErrTransfer = 145;
constexpr std::int32_t kErrClearRefused = 130;

// The link of a façade, opened on the emulator and greeted after a button press.
bool Connect(clsFieldProgrammer& fp, EmuLine& line) {
    if (!fp.OpenCommPort(kCom)) return false;
    line.Emu().RequestPress();
    return fp.WaitForFieldProgrammer(kPressLoops);
}

bool Connect(ZelSerialComms& link, EmuLine& line) {
    if (!link.OpenCommPort(kCom)) return false;
    line.Emu().RequestPress();
    return link.WaitForFieldProgrammer(kPressLoops);
}

std::vector<std::int16_t> OfType(const std::vector<std::pair<std::int16_t, std::int32_t>>& events,
                                 std::int32_t type) {
    std::vector<std::int16_t> out;
    for (const auto& e : events)
        if (e.second == type) out.push_back(e.first);
    return out;
}

// ---------------------------------------------------------------------------------------------
// Button

TEST(Handshake, GreetsThePressedDeviceAndLeavesTheLineClean) {
    EmuOptions options = FastOptions();
    options.pressAfterMs = 300;  // pressed while the host is already waiting
    EmuLine line(options);
    ASSERT_TRUE(line.Started()) << line.Error();
    clsFieldProgrammer fp;
    ASSERT_TRUE(fp.OpenCommPort(kCom));
    ASSERT_TRUE(fp.WaitForFieldProgrammer(kPressLoops));
    EXPECT_EQ(fp.LastError().Number(), 0);

    // The greeting's version reply must have been taken with its echo, or these echo checks
    // would trip over it.
    ASSERT_TRUE(fp.Details().GetFPStatusRegister());
    EXPECT_EQ(fp.Details().StatusRegister(), "01");
    EXPECT_EQ(fp.Details().FlashPages(), "0040");
    ASSERT_TRUE(fp.Details().GetFPVersion());
    EXPECT_EQ(fp.Details().SoftwareVersion(), "123456");
    EXPECT_EQ(fp.Details().SoftwareQualificationRev(), "09");
}

TEST(Handshake, ExitRequestedWhileWaitingEndsTheWait) {
    EmuLine line(FastOptions());
    ASSERT_TRUE(line.Started()) << line.Error();
    clsFieldProgrammer fp;
    ASSERT_TRUE(fp.OpenCommPort(kCom));

    // The Quit button runs inside the wait's message-loop turns; so does this request.
    int turns = 0;
    int turnsAfterExit = -1;
    bool inside = false;
    clsTiming::InstallMessagePump([&] {
        if (inside) return;
        inside = true;
        ++turns;
        if (turnsAfterExit >= 0) {
            ++turnsAfterExit;
        } else if (turns == 6) {
            fp.ExitWaitForFieldProgrammer();
            turnsAfterExit = 0;
        }
        inside = false;
    });
    const bool answered = fp.WaitForFieldProgrammer(kPressLoops);
    clsTiming::InstallMessagePump({});

    EXPECT_FALSE(answered);
    EXPECT_EQ(fp.LastError().Number(), kErrConnect);
    EXPECT_GE(turnsAfterExit, 0);
    EXPECT_LE(turnsAfterExit, 1) << "the wait went on after the exit request";

    // The request was used up: the next wait runs until the device is pressed.
    line.Emu().RequestPress();
    EXPECT_TRUE(fp.WaitForFieldProgrammer(kPressLoops));
}

// ---------------------------------------------------------------------------------------------
// Clearing

TEST(Clear, PageCounterBecomesRisingProgressToHundred) {
    EmuOptions options = FastOptions();
    options.pages = 0x0100;
    options.pageMs = 4;  // about a second of pages, so the counter arrives in many pieces
    EmuLine line(options);
    ASSERT_TRUE(line.Started()) << line.Error();
    clsFieldProgrammer fp;
    std::vector<std::pair<std::int16_t, std::int32_t>> events;
    fp.Progress = [&](std::int16_t p, std::int32_t t) { events.emplace_back(p, t); };
    ASSERT_TRUE(Connect(fp, line));
    ASSERT_TRUE(fp.Details().GetFPStatusRegister());

    std::string reply;
    ASSERT_TRUE(fp.Serial().SendProgEchoedCommand(".C", &reply, 50, kTypeClear));
    const auto clear = OfType(events, kTypeClear);
    ASSERT_GE(clear.size(), 2u) << "the counter should arrive in several pieces";
    EXPECT_TRUE(std::is_sorted(clear.begin(), clear.end()));
    EXPECT_GE(clear.front(), 0);
    EXPECT_EQ(clear.back(), 100);
    EXPECT_EQ(events.size(), clear.size());

    // The dialogue is back in step afterwards.
    EXPECT_TRUE(fp.Details().GetFPStatusRegister());
}

struct ClearCase {
    const char* name;
    void (*fault)(EmuOptions&);
    bool accepted;
    std::int32_t error;
};

void PrintTo(const ClearCase& c, std::ostream* os) { *os << c.name; }

class ClearDialogue : public testing::TestWithParam<ClearCase> {};

TEST_P(ClearDialogue, EchoFaultsAreNotRecognisedAndAPromptIsAnswered) {
    const ClearCase& c = GetParam();
    EmuOptions options = FastOptions();
    options.pageMs = 2;
    c.fault(options);
    EmuLine line(options);
    ASSERT_TRUE(line.Started()) << line.Error();
    clsFieldProgrammer fp;
    std::vector<std::int16_t> clear;
    fp.Progress = [&](std::int16_t p, std::int32_t t) {
        if (t == kTypeClear) clear.push_back(p);
    };
    ASSERT_TRUE(Connect(fp, line));

    EXPECT_EQ(fp.Memory().ClearFlashMemory(), c.accepted);
    EXPECT_EQ(fp.LastError().Number(), c.error);
    if (c.accepted) {
        ASSERT_FALSE(clear.empty());
        EXPECT_EQ(clear.back(), 100);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ClearDialogue,
    testing::Values(ClearCase{"NoEcho", [](EmuOptions& o) { o.noEcho = "C"; }, false, kErrClearRefused},
                    ClearCase{"WrongEcho", [](EmuOptions& o) { o.wrongEcho = "C"; }, false,
                              kErrClearRefused},
                    ClearCase{"QuestionMark", [](EmuOptions& o) { o.refuse = "C"; }, false,
                              kErrClearRefused},
                    ClearCase{"YesNoPrompt", [](EmuOptions& o) { o.ynPrompt = "C"; }, true, 0}),
    [](const testing::TestParamInfo<ClearCase>& row) { return std::string(row.param.name); });

// ---------------------------------------------------------------------------------------------
// Transfers

struct TransferCase {
    std::size_t bytes;
    int replyDelayMs;
    std::vector<std::int16_t> progress;  // empty: only the ends are checked
};

void PrintTo(const TransferCase& c, std::ostream* os) {
    *os << c.bytes << " bytes, reply delay " << c.replyDelayMs << " ms";
}

class Transfer : public testing::TestWithParam<TransferCase> {};

TEST_P(Transfer, DeviceReceivesThePaddedImageAndTheTempFileIsGone) {
    const TransferCase& c = GetParam();
    PrivateTempDir tmp;
    EmuOptions options = FastOptions();
    options.replyDelayMs = c.replyDelayMs;
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
    ASSERT_TRUE(link.DownloadBinaryData(image))
        << "error " << errors.back() << ", device: " << line.LastDevice().failure;

    ASSERT_TRUE(line.Emu().WaitDevicesClosed(1, kPatienceMs)) << "no .Q reached the device";
    const EmuDeviceRecord device = line.LastDevice();
    EXPECT_EQ(device.Verdict(), "OK") << device.failure;
    EXPECT_TRUE(device.poweredDown);
    EXPECT_EQ(device.goodBlocks, static_cast<int>((c.bytes + 127) / 128));
    EXPECT_TRUE(device.image == Padded(image)) << "received " << device.image.size() << " bytes";

    EXPECT_EQ(errors, std::vector<std::int32_t>{0});
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress.back(), c.bytes == 0 ? 0 : 100);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    if (!c.progress.empty()) {
        EXPECT_EQ(progress, c.progress);
    }
    EXPECT_TRUE(tmp.TransferFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Transfer,
    testing::Values(TransferCase{0, 80, {0}}, TransferCase{128, 80, {0, 100}},
                    TransferCase{129, 80, {0, 50, 100}},
                    // block 255 is followed by block 0
                    TransferCase{256 * 128, 80, {}},
                    // a prompt device: replies travel with their echoes
                    TransferCase{129, 0, {0, 50, 100}}),
    [](const testing::TestParamInfo<TransferCase>& row) {
        return std::to_string(row.param.bytes) + "Bytes" +
               (row.param.replyDelayMs == 0 ? "PromptDevice" : "");
    });

struct TransferFault {
    const char* name;
    void (*fault)(EmuOptions&);
    std::vector<std::int32_t> errors;  // in the order the link raised them
    int goodBlocks;
    int badBlocks;
};

void PrintTo(const TransferFault& c, std::ostream* os) { *os << c.name; }

class TransferFaults : public testing::TestWithParam<TransferFault> {};

TEST_P(TransferFaults, FailWithTheirErrorAndLeaveNoTempFile) {
    const TransferFault& c = GetParam();
    PrivateTempDir tmp;
    EmuOptions options = FastOptions();
    c.fault(options);
    EmuLine line(options);
    ASSERT_TRUE(line.Started()) << line.Error();
    ZelSerialComms link;
    std::vector<std::int32_t> errors;
    std::vector<std::int16_t> progress;
    link.Error = [&](std::int32_t e) { errors.push_back(e); };
    link.Progress = [&](std::int16_t p) { progress.push_back(p); };
    ASSERT_TRUE(Connect(link, line));

    ShortPauses pauses;
    EXPECT_FALSE(link.DownloadBinaryData(Noise(4 * 128, 99)));
    EXPECT_EQ(errors, c.errors);
    EXPECT_TRUE(tmp.TransferFiles().empty());

    // Nothing after the failing block reached the device.
    const EmuDeviceRecord device = line.LastDevice();
    EXPECT_TRUE(device.transferStarted);
    EXPECT_FALSE(device.transferEnded);
    EXPECT_EQ(device.goodBlocks, c.goodBlocks);
    EXPECT_EQ(device.badBlocks, c.badBlocks);
    EXPECT_EQ(progress.size(), static_cast<std::size_t>(c.goodBlocks) + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Device, TransferFaults,
    testing::Values(
        TransferFault{"NeverC", [](EmuOptions& o) { o.neverC = true; }, {0, kErrNoStart}, 0, 0},
        TransferFault{"NakAtBlock2", [](EmuOptions& o) { o.nakAt = 2; }, {0, kErrNoAck}, 1, 1},
        TransferFault{"SilentAtBlock3", [](EmuOptions& o) { o.noAckAt = 3; }, {0, kErrNoAck}, 2, 1}),
    [](const testing::TestParamInfo<TransferFault>& row) { return std::string(row.param.name); });

TEST(Vanishing, DeviceGoneMidTransferEndsItWithAnError) {
    PrivateTempDir tmp;
    EmuOptions options = FastOptions();
    options.closeAt = 2;
    EmuLine line(options);
    ASSERT_TRUE(line.Started()) << line.Error();
    ZelSerialComms link;
    std::vector<std::int32_t> errors;
    link.Error = [&](std::int32_t e) { errors.push_back(e); };
    ASSERT_TRUE(Connect(link, line));

    ShortPauses pauses;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(link.DownloadBinaryData(Noise(4 * 128, 5)));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    RecordProperty("vanish_ms", static_cast<int>(ms));

    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], 0);
    // A line that is gone is a port failure, not a device that failed to acknowledge.
    EXPECT_EQ(errors[1], kErrTransfer);
    EXPECT_TRUE(link.Port().Failed());
    EXPECT_TRUE(tmp.TransferFiles().empty());
}

// ---------------------------------------------------------------------------------------------
// A port held by someone else

TEST(HeldPort, IsNotFreeToAnotherProcessOrObjectUntilReleased) {
    EmuLine line(FastOptions());
    ASSERT_TRUE(line.Started()) << line.Error();
    ZelSerialComms holder;
    ASSERT_TRUE(holder.OpenCommPort(kCom));

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool opened = MakeSystemSerialPort()->Open(kCom);
        _exit(opened ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another process opened the held port";

    EXPECT_FALSE(MakeSystemSerialPort()->Open(kCom));

    clsFieldProgrammer other;
    int raised = 0;
    other.Error = [&] { ++raised; };
    EXPECT_FALSE(other.IsComPortFree(kCom));
    EXPECT_EQ(other.LastError().Number(), kErrOpen);
    EXPECT_EQ(raised, 1);

    ASSERT_TRUE(holder.CloseCommPort());
    EXPECT_TRUE(other.IsComPortFree(kCom));
    EXPECT_FALSE(other.Serial().PortOpenState());
    EXPECT_TRUE(holder.OpenCommPort(kCom)) << "the probe left the port held";
}

// ---------------------------------------------------------------------------------------------
// Measurement (run by hand: --gtest_also_run_disabled_tests)

TEST(TransferTiming, DISABLED_SixteenKiBOverA9600BaudLine) {
    constexpr std::size_t kBytes = 16 * 1024;
    constexpr double kBaud = 9600;
    EmuOptions options = FastOptions();
    options.baud = static_cast<int>(kBaud);
    EmuLine line(options);
    ASSERT_TRUE(line.Started()) << line.Error();
    PrivateTempDir tmp;
    ZelSerialComms link;
    ASSERT_TRUE(Connect(link, line));

    const Bytes image = Noise(kBytes, 16);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(link.DownloadBinaryData(image));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(line.Emu().WaitDevicesClosed(1, kPatienceMs));
    EXPECT_TRUE(line.LastDevice().image == Padded(image));

    const double blocks = (kBytes + 127) / 128;
    const double wire = 133 * blocks * 10 / kBaud + 5.0;
    std::cout << "16 KiB transfer at 9600 baud: wall " << wall << " s, wire plus pause " << wire
              << " s (" << wall - wire << " s above)\n";
    RecordProperty("wall_ms", static_cast<int>(wall * 1000));
    RecordProperty("wire_ms", static_cast<int>(wire * 1000));
}

}  // namespace
