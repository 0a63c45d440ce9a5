// fieldprog-cli against fieldprog-emu on a pseudo-terminal: every test runs the real
// programs and checks what reached the emulated device, its exit code and its records.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ClsCRC.h"
#include "Subprocess.h"

namespace fs = std::filesystem;

namespace {

constexpr int kStartMs = 10000;  // generous: the machine is shared
constexpr int kRunMs = 90000;
const char* const kPrompt = "Press the button on the top of the Field Programmer";

using Bytes = std::vector<std::uint8_t>;

// A fresh folder per test, gone afterwards.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "fp-cli-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

// A .BIN image: six zero bytes, the data count high byte first, firmware-like data that does
// not end in an erased (FFh) byte.
Bytes MakeBin(const std::string& path, std::size_t count) {
    Bytes bytes(8, 0);
    bytes[6] = static_cast<std::uint8_t>(count >> 8);
    bytes[7] = static_cast<std::uint8_t>(count & 0xFF);
    std::uint32_t state = 12345;
    for (std::size_t k = 0; k < count; ++k) {
        state = state * 1103515245u + 12345u;
        bytes.push_back(static_cast<std::uint8_t>(state >> 16));
    }
    bytes.back() = 0x5A;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
    const Bytes bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
    return fields;
}

std::string CrcText(const Bytes& bytes) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X",
                  static_cast<unsigned>(static_cast<std::uint16_t>(ClsCRC().CRC16(bytes))));
    return text;
}

// The emulator, unpaced and with an instant flash unless a test asks otherwise.
class Emulator {
public:
    explicit Emulator(std::vector<std::string> extra) {
        std::vector<std::string> argv = {FIELDPROG_EMU_EXE, "--baud", "0", "--page-ms", "0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        process_ = std::make_unique<Subprocess>(argv);
        if (process_->WaitForStdout("\n", kStartMs)) {
            const std::string first = Lines(process_->Stdout()).front();
            if (first.rfind("PORT ", 0) == 0) port_ = first.substr(5);
        }
    }
    const std::string& Port() const { return port_; }
    void Press() { process_->Signal(SIGUSR1); }
    // Stops the emulator (if still running) and hands back its result lines.
    std::string Finish() {
        process_->Signal(SIGTERM);
        process_->Wait(kStartMs);
        return process_->Stdout();
    }
    Subprocess& Process() { return *process_; }

private:
    std::unique_ptr<Subprocess> process_;
    std::string port_;
};

std::vector<std::string> Cli(std::vector<std::string> args) {
    args.insert(args.begin(), FIELDPROG_CLI_EXE);
    return args;
}

// Runs a command that waits for the device's button and presses it once it is asked to.
RunResult RunPressed(Emulator& emulator, const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env = {}) {
    Subprocess process(argv, env);
    if (process.WaitForStderr(kPrompt, kRunMs)) emulator.Press();
    RunResult result;
    result.code = process.Wait(kRunMs);
    result.out = process.Stdout();
    result.err = process.Stderr();
    return result;
}

bool StartsWith(const Bytes& whole, const Bytes& prefix) {
    return whole.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

}  // namespace

// The production path: a downloader built with the tool itself programs two devices in a row
// from its own payload, and each device receives exactly the .BIN file's bytes.
TEST(CliDownload, BuiltDownloaderProgramsTwoDevicesFromItsOwnPayload) {
    TempDir dir;
    const Bytes bin = MakeBin(dir / "FIRMWARE.BIN", 1000);
    const RunResult built = RunToEnd({FIELDPROG_BUILD_EXE, "--language", "0", "--description", "Test image",
                                 "--output", dir / "downloader", "--downloader", FIELDPROG_CLI_EXE,
                                 dir / "FIRMWARE.BIN"}, kRunMs);
    ASSERT_EQ(built.code, 0) << built.err;

    fs::create_directory(dir / "tmp");
    Emulator emulator({"--devices", "2", "--next-device-ms", "0", "--expect", dir / "FIRMWARE.BIN",
                       "--save-image", dir / "received%d"});
    ASSERT_FALSE(emulator.Port().empty());
    const RunResult run = RunToEnd({dir / "downloader", "--port", emulator.Port(), "--count", "2",
                               "--wait", "30", "--log", dir / "production.log"}, kRunMs,
                              {{"TMPDIR", dir / "tmp"}});
    EXPECT_EQ(run.code, 0) << run.err;
    const std::string results = emulator.Finish();
    EXPECT_NE(results.find("DEVICE 2 EXPECT MATCH"), std::string::npos) << results;

    for (const char* name : {"received1", "received2"}) {
        const Bytes received = ReadFile(dir / name);
        // The last block is padded with zeros, and a loaded file carries one spare zero byte.
        ASSERT_TRUE(StartsWith(received, bin)) << name;
        EXPECT_LT(received.size() - bin.size(), 130u) << name;
        EXPECT_TRUE(std::all_of(received.begin() + static_cast<std::ptrdiff_t>(bin.size()),
                                received.end(), [](std::uint8_t b) { return b == 0; }))
            << name;
    }

    const std::vector<std::string> records = Lines(ReadText(dir / "production.log"));
    ASSERT_EQ(records.size(), 2u);
    for (const std::string& record : records) {
        const std::vector<std::string> f = Fields(record);
        ASSERT_EQ(f.size(), 8u) << record;
        EXPECT_EQ(f[1], emulator.Port());
        EXPECT_EQ(f[3], CrcText(bin));
        EXPECT_EQ(f[4], "OK");
        EXPECT_EQ(f[5], "0");
    }
    // The transfer's temporary copy of the image is gone.
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
}

// Each way a device can fail ends the job with its own exit code, its own record, and no
// temporary file left behind.
struct FailureCase {
    const char* name;
    std::vector<std::string> emulatorArgs;
    std::vector<std::string> cliArgs;
    int exitCode;
    const char* result;
    const char* errorNumber;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class CliDownloadFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CliDownloadFailure, ReportsItsOwnExitCodeAndRecord) {
    const FailureCase& c = GetParam();
    TempDir dir;
    MakeBin(dir / "FIRMWARE.BIN", 600);
    fs::create_directory(dir / "tmp");
    Emulator emulator(c.emulatorArgs);
    ASSERT_FALSE(emulator.Port().empty());
    std::vector<std::string> argv = Cli({"--port", emulator.Port(), "--image", dir / "FIRMWARE.BIN",
                                         "--log", dir / "production.log"});
    argv.insert(argv.end(), c.cliArgs.begin(), c.cliArgs.end());
    const RunResult run = RunToEnd(argv, kRunMs, {{"TMPDIR", dir / "tmp"}});
    EXPECT_EQ(run.code, c.exitCode) << run.err;
    const std::vector<std::string> records = Lines(ReadText(dir / "production.log"));
    ASSERT_EQ(records.size(), 1u);
    const std::vector<std::string> f = Fields(records[0]);
    ASSERT_EQ(f.size(), 8u);
    EXPECT_EQ(f[4], c.result);
    EXPECT_EQ(f[5], c.errorNumber);
    EXPECT_NE(run.err.find("(error " + std::string(c.errorNumber) + ")"), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, CliDownloadFailure,
    ::testing::Values(
        FailureCase{"NoButtonPress", {"--press-after-ms", "-1"}, {"--wait", "1"}, 5, "NO-DEVICE", "103"},
        FailureCase{"ClearRefused", {"--refuse", "C"}, {}, 6, "CLEAR-FAILED", "130"},
        FailureCase{"BlockRefused", {"--nak-at", "1"}, {}, 7, "TRANSFER-FAILED", "143"},
        FailureCase{"TransferNeverStarts", {"--never-c"}, {}, 7, "TRANSFER-FAILED", "144"}),
    [](const ::testing::TestParamInfo<FailureCase>& row) { return row.param.name; });

// Ctrl-C in the middle of a transfer: the link gives up, the port is closed, the temporary
// file is removed and the exit code says so.
TEST(CliInterrupt, CtrlCDuringTransferLeavesNothingBehind) {
    TempDir dir;
    MakeBin(dir / "FIRMWARE.BIN", 8000);
    fs::create_directory(dir / "tmp");
    // Paced like a real line, so the transfer is still running when the signal comes.
    Emulator emulator({"--baud", "9600"});
    ASSERT_FALSE(emulator.Port().empty());
    Subprocess cli(Cli({"--port", emulator.Port(), "--image", dir / "FIRMWARE.BIN", "--log",
                        dir / "production.log"}),
                   {{"TMPDIR", dir / "tmp"}});
    ASSERT_TRUE(cli.WaitForStderr("Transferring: 10%", kRunMs)) << cli.Stderr();
    cli.Signal(SIGINT);
    EXPECT_EQ(cli.Wait(kRunMs), 130) << cli.Stderr();
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
    EXPECT_NE(ReadText(dir / "production.log").find("\tINTERRUPTED\t"), std::string::npos);
}

// A port that another run holds is reported as busy, naming the holder rather than the
// emulator that merely has the terminal open; once the holder is interrupted the port is free.
TEST(CliPort, BusyPortNamesItsHolderAndIsFreedByCtrlC) {
    Emulator emulator({"--press-after-ms", "-1"});
    ASSERT_FALSE(emulator.Port().empty());
    Subprocess holder(Cli({"info", "--port", emulator.Port(), "--wait", "0"}));
    ASSERT_TRUE(holder.WaitForStderr(kPrompt, kRunMs)) << holder.Stderr();

    const RunResult busy = RunToEnd(Cli({"info", "--port", emulator.Port()}), kRunMs);
    EXPECT_EQ(busy.code, 4) << busy.err;
    EXPECT_NE(busy.err.find("PID " + std::to_string(holder.Pid()) + " (fieldprog-cli)"),
              std::string::npos)
        << busy.err;

    holder.Signal(SIGINT);
    EXPECT_EQ(holder.Wait(kRunMs), 130);
    const RunResult after = RunToEnd(Cli({"info", "--port", emulator.Port(), "--wait", "1"}), kRunMs);
    EXPECT_EQ(after.code, 5) << after.err;  // the port opened; nobody pressed the button
}

// Everything that can be refused is refused before the port is opened: the port named here
// does not exist, so reaching it would give exit code 3 instead.
TEST(CliInput, BadInputIsRefusedBeforeThePortIsOpened) {
    TempDir dir;
    MakeBin(dir / "GOOD.BIN", 100);
    Bytes truncated = MakeBin(dir / "SHORT.BIN", 100);
    truncated.resize(50);
    std::ofstream(dir / "SHORT.BIN", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(truncated.data()), 50);
    const std::string port = dir / "no-such-port";

    struct Row {
        std::vector<std::string> args;
        int code;
        const char* said;
    };
    const Row rows[] = {
        {{"--bogus"}, 2, "unknown option"},
        {{"peek"}, 2, "usage"},
        {{"peek", "12G"}, 2, "not a hexadecimal number"},
        {{"peek", "0x1000000"}, 10, "(error 113)"},
        {{"peek", "-1"}, 10, "(error 113)"},
        {{"peek", "FFFFF0", "0x20"}, 10, "(error 122)"},
        {{"poke", "0x1000000", "5C"}, 10, "(error 116)"},
        {{"poke", "10", "100"}, 10, "(error 116)"},
        {{"read", "10000"}, 10, "(error 108)"},
        {{"--image", dir / "SHORT.BIN"}, 2, "only 42 follow"},
        {{"--image", dir / "MISSING.BIN"}, 2, "No such file"},
        {{"--payload", dir / "GOOD.BIN"}, 2, "carries no binary file"},
        {{"verify", dir / "SHORT.BIN"}, 2, "only 42 follow"},
        {{"read-back", dir / "GOOD.BIN"}, 2, "--force"},
        {{"read-back", dir / "nowhere/OUT.BIN"}, 2, "(error 147)"},
        {{"info", "--count", "2"}, 2, "belongs to the download job"},
        {{"info"}, 3, "No such file"},  // the same port, reached: the rows above never got there
    };
    for (const Row& row : rows) {
        std::vector<std::string> argv = Cli(row.args);
        argv.insert(argv.end(), {"--port", port});
        const RunResult run = RunToEnd(argv, kRunMs);
        EXPECT_EQ(run.code, row.code) << row.args[0] << ": " << run.err;
        EXPECT_NE(run.err.find(row.said), std::string::npos) << row.args[0] << ": " << run.err;
    }
}

// The bench commands on a blank device: identity, flash size and no program name, as text
// and as JSON.
TEST(CliBench, InfoOnABlankDevice) {
    Emulator emulator({"--press-after-ms", "-1", "--devices", "0", "--pages", "0008"});
    ASSERT_FALSE(emulator.Port().empty());
    const RunResult text = RunPressed(emulator, Cli({"info", "--port", emulator.Port(), "--wait", "30"}));
    EXPECT_EQ(text.code, 0) << text.err;
    EXPECT_NE(text.out.find("Software version:        123456"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Qualification revision:  09"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Flash pages:             0008 (8 banks)"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Program name:            none found"), std::string::npos) << text.out;

    const RunResult json =
        RunPressed(emulator, Cli({"info", "--json", "--port", emulator.Port(), "--wait", "30"}));
    EXPECT_EQ(json.code, 0) << json.err;
    ASSERT_EQ(Lines(json.out).size(), 1u) << json.out;
    EXPECT_NE(json.out.find("\"software_revision\":\"07\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"flash_banks\":8,"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"program_name\":null}"), std::string::npos) << json.out;
}

// One device through a bench session: program it, verify it, read it back, change one byte,
// and verify again, which must point at exactly that byte.
TEST(CliBench, DownloadVerifyReadBackPokeVerify) {
    TempDir dir;
    const Bytes bin = MakeBin(dir / "FIRMWARE.BIN", 1000);
    Emulator emulator({"--press-after-ms", "-1", "--devices", "0", "--pages", "0010"});
    ASSERT_FALSE(emulator.Port().empty());
    auto cli = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--port", emulator.Port(), "--wait", "30"});
        return RunPressed(emulator, Cli(args));
    };

    const RunResult download = cli({"--image", dir / "FIRMWARE.BIN"});
    ASSERT_EQ(download.code, 0) << download.err;

    const RunResult equal = cli({"verify", dir / "FIRMWARE.BIN"});
    EXPECT_EQ(equal.code, 0) << equal.out << equal.err;
    EXPECT_NE(equal.out.find("Equal"), std::string::npos) << equal.out;

    const RunResult readBack = cli({"read-back", dir / "BACK.BIN"});
    EXPECT_EQ(readBack.code, 0) << readBack.err;
    EXPECT_EQ(ReadFile(dir / "BACK.BIN"), bin);
    EXPECT_NE(readBack.out.find("Read back 1000 data bytes"), std::string::npos) << readBack.out;

    // Flash bits can only be cleared, so writing 00 changes any byte that is not 00 already.
    constexpr std::size_t kAddress = 0x20;
    ASSERT_NE(bin[8 + kAddress], 0);
    const RunResult poke = cli({"poke", "0x20", "00"});
    EXPECT_EQ(poke.code, 0) << poke.err;
    const RunResult peek = cli({"peek", "20"});
    EXPECT_EQ(peek.code, 0) << peek.err;
    EXPECT_NE(peek.out.find("000020: 00"), std::string::npos) << peek.out;

    const RunResult differs = cli({"verify", dir / "FIRMWARE.BIN"});
    EXPECT_EQ(differs.code, 1) << differs.err;
    EXPECT_NE(differs.out.find("1 byte(s) differ, the first at flash address 0x000020 "
                               "(image offset 0x000028)"),
              std::string::npos)
        << differs.out;
    emulator.Finish();
}
