// One fault a row: message, exit code, record, no file left, verdict, then a good device works.

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "EmuProcess.h"
#include "Images.h"
#include "TestFiles.h"

namespace {

const char* const kNoConnect =
    "Error: Failed to connect to the Field Programmer, please check it is correctly connected.";
const char* const kClearFailed = "Failed to clear flash memory.";
const char* const kDownloadFailed = "Error: Download Failed.";

enum class Scene { Device, Busy, HeldPort };

struct Row {
    const char* name;
    Scene scene;
    std::vector<std::string> faults;  // emulator switches
    int waitSeconds;                  // the CLI's --wait
    int exitCode;
    const char* status;   // the downloader's own status line
    const char* detail;   // the error record
    const char* verdict;  // the emulator's verdict on device 1
    const char* record;   // result and error number in the production log; null: no line
};

// Names the row in test listings (ctest's names come from it).
void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

// The emulator's verdict on device 1 (NONE: no transfer); OK must also have matched the image.
std::string VerdictOf(const std::string& emuOutput) {
    std::istringstream lines(emuOutput);
    std::string verdict = "NONE";
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("DEVICE 1 RECEIVED", 0) == 0) verdict = line.substr(line.rfind(' ') + 1);
    if (verdict == "OK" && emuOutput.find("DEVICE 1 EXPECT MATCH") == std::string::npos)
        return "OK BUT MISMATCHED";
    return verdict;
}

class FaultMatrix : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override { WriteBytes(dir / "FW.BIN", Text(BinImage(1016))); }  // eight blocks

    // An emulator on the same symlinked port every time, as one bench cable would be.
    std::unique_ptr<EmuProcess> StartEmu(std::vector<std::string> args) {
        args.insert(args.begin(), {"--pages", "0040", "--press-after-ms", "0", "--link",
                                   dir / "port", "--expect", dir / "FW.BIN"});
        auto emu = std::make_unique<EmuProcess>(args);
        EXPECT_FALSE(emu->Port().empty()) << emu->Process().Stderr();
        return emu;
    }
    std::unique_ptr<Subprocess> StartCli(int wait) {
        return std::make_unique<Subprocess>(
            std::vector<std::string>{FIELDPROG_CLI_EXE, "download", "--port", dir / "port",
                                     "--wait", std::to_string(wait), "--log", dir / "log",
                                     "--image", dir / "FW.BIN"},
            std::map<std::string, std::string>{{"TMPDIR", tmp.Path()}});
    }
    // The next device on `emu`, or on a fresh emulator, programs normally.
    void GoodDeviceWorks(std::unique_ptr<EmuProcess> emu) {
        const bool fresh = emu == nullptr;  // a fresh one presses its button by itself
        if (fresh) emu = StartEmu({});
        auto cli = StartCli(20);
        if (!fresh && cli->WaitForStderr(kPrompt, kPatienceMs)) emu->Press();
        EXPECT_EQ(cli->Wait(kPatienceMs), 0) << cli->Stderr();
        EXPECT_EQ(VerdictOf(emu->Finish()), "OK");
        EXPECT_EQ(tmp.Entries(), 0);
    }

    TempDir dir, tmp;
};

TEST_P(FaultMatrix, UserToldTheTruthNothingLeftAndTheNextDeviceWorks) {
    const Row& row = GetParam();
    auto emu = StartEmu(row.faults);
    std::unique_ptr<Subprocess> holder;  // another downloader, waiting on the port
    if (row.scene == Scene::HeldPort) {
        holder = StartCli(row.waitSeconds);
        ASSERT_TRUE(holder->WaitForStderr(kPrompt, kPatienceMs)) << holder->Stderr();
    }
    auto cli = StartCli(row.waitSeconds);
    std::unique_ptr<Subprocess> load[2];  // each stops with its Subprocess
    for (auto& busy : load)
        if (row.scene == Scene::Busy)
            busy.reset(new Subprocess({"/bin/sh", "-c", "while :; do :; done"}));
    const int code = cli->Wait(kPatienceMs);
    for (auto& busy : load) busy.reset();
    const std::string said = cli->Stderr();
    EXPECT_EQ(code, row.exitCode) << said;
    EXPECT_NE(said.find(row.status), std::string::npos) << said;
    EXPECT_NE(said.find(row.detail), std::string::npos) << said;
    EXPECT_EQ(tmp.Entries(), 0);
    if (row.record != nullptr) {
        const std::string log = ReadBytes(dir / "log");  // throws when there is none
        EXPECT_NE(log.find(std::string("\t") + row.record + "\t"), std::string::npos) << log;
    }

    // The same emulator, free again, when only the port was taken; a fresh one otherwise.
    if (holder) {
        EXPECT_NE(said.find("held by PID " + std::to_string(holder->Pid())), std::string::npos);
        holder->Signal(SIGTERM);
        EXPECT_EQ(holder->Wait(kPatienceMs), 143) << holder->Stderr();
        return GoodDeviceWorks(std::move(emu));
    }
    EXPECT_EQ(VerdictOf(emu->Finish()), row.verdict);
    if (row.exitCode != 0) GoodDeviceWorks(nullptr);
}

// A good device replying this late on a paced line, both cores busy: programmed.
Row Reply(const char* name, const char* delayMs) {
    return {name, Scene::Busy, {"--baud", "9600", "--reply-delay-ms", delayMs}, 10, 0, "", "",
            "OK", "OK\t0"};
}

// A device that differs from the emulator's default in a way a real one may: programmed.
Row Variant(const char* name, std::vector<std::string> switches) {
    return {name, Scene::Device, std::move(switches), 10, 0, "", "", "OK", "OK\t0"};
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::Values(
    Row{"no_echo", Scene::Device, {"--no-echo", "all"}, 1, 5, kNoConnect,
        "Failed to connect to field programmer. (error 103)", "NONE", "NO-DEVICE\t103"},
    Row{"wrong_echo", Scene::Device, {"--wrong-echo", "C"}, 10, 6, kClearFailed,
        "Clear flash memory command not recognised. (error 130)", "NONE", "CLEAR-FAILED\t130"},
    Row{"silence_at_block_3", Scene::Device, {"--no-ack-at", "3"}, 10, 7, kDownloadFailed,
        "Download binary data acknowledge not received. (error 143)", "FAIL", "TRANSFER-FAILED\t143"},
    Reply("reply_0ms", "0"), Reply("reply_30ms", "30"), Reply("reply_80ms", "80"),
    Reply("reply_200ms", "200"),
    Variant("eot_ack", {"--eot-answer", "ack"}), Variant("eot_unanswered", {"--eot-answer", "none"}),
    Variant("off_after_quit", {"--off-after-quit"}),
    Row{"port_held", Scene::HeldPort, {"--press-after-ms", "-1"}, 0, 4, "is busy: held by PID",
        "(fieldprog-cli): Failed to open com port. (error 101)", "NONE", nullptr}),
    [](const ::testing::TestParamInfo<Row>& param) { return std::string(param.param.name); });
// clang-format on

}  // namespace
