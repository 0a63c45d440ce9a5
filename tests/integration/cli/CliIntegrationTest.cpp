// fieldprog-cli against fieldprog-emu on a pseudo-terminal: every test runs the real
// programs and checks what reached the emulated device, the exit code and the records.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ClsCRC.h"
#include "Subprocess.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRunMs = 90000;  // generous: the machine is shared
const char* const kPrompt = "Press the button on the top of the Field Programmer";

using Bytes = std::vector<std::uint8_t>;

std::string ReadText(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

Bytes ReadFile(const std::string& path) {
    const std::string text = ReadText(path);
    return Bytes(text.begin(), text.end());
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

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

RunResult Collect(Subprocess& process) {
    const int code = process.Wait(kRunMs);
    return {code, process.Stdout(), process.Stderr()};
}

std::vector<std::string> Cli(std::vector<std::string> args) {
    args.insert(args.begin(), FIELDPROG_CLI_EXE);
    return args;
}

// A .BIN image: six zero bytes, the data count high byte first, firmware-like data that does
// not end in an erased (FFh) byte.
Bytes MakeBin(const std::string& path, std::size_t count, std::size_t keep = SIZE_MAX) {
    Bytes bytes(8, 0);
    bytes[6] = static_cast<std::uint8_t>(count >> 8);
    bytes[7] = static_cast<std::uint8_t>(count & 0xFF);
    std::uint32_t state = 12345;
    for (std::size_t k = 0; k < count; ++k) {
        state = state * 1103515245u + 12345u;
        bytes.push_back(static_cast<std::uint8_t>(state >> 16));
    }
    bytes.back() = 0x5A;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(std::min(keep, bytes.size())));
    return bytes;
}

// The emulator, unpaced and with an instant flash unless a test asks otherwise.
class Emulator {
  public:
    explicit Emulator(std::vector<std::string> extra)
        : process_([&] {
              extra.insert(extra.begin(), {FIELDPROG_EMU_EXE, "--baud", "0", "--page-ms", "0"});
              return extra;
          }()) {
        if (process_.WaitForStdout("\n", kRunMs) && process_.Stdout().rfind("PORT ", 0) == 0)
            port_ = Split(process_.Stdout(), '\n').front().substr(5);
    }
    const std::string& Port() const { return port_; }
    // Stops the emulator and hands back its result lines.
    std::string Finish() {
        process_.Signal(SIGTERM);
        process_.Wait(kRunMs);
        return process_.Stdout();
    }
    // Runs a command that waits for the device's button, and presses it once asked to.
    RunResult RunPressed(const std::vector<std::string>& argv) {
        Subprocess cli(argv);
        if (cli.WaitForStderr(kPrompt, kRunMs)) process_.Signal(SIGUSR1);
        return Collect(cli);
    }

  private:
    Subprocess process_;
    std::string port_;
};

}  // namespace

// The production path: a downloader built with the tool itself programs two devices in a row
// from its own payload, and each device receives exactly the .BIN file's bytes.
TEST(CliDownload, BuiltDownloaderProgramsTwoDevicesFromItsOwnPayload) {
    TempDir dir;
    const Bytes bin = MakeBin(dir / "FIRMWARE.BIN", 1000);
    const RunResult built =
        RunToEnd({FIELDPROG_BUILD_EXE, "--language", "0", "--description", "Test image", "--output",
                  dir / "downloader", "--downloader", FIELDPROG_CLI_EXE, dir / "FIRMWARE.BIN"},
                 kRunMs);
    ASSERT_EQ(built.code, 0) << built.err;

    fs::create_directory(dir / "tmp");
    Emulator emulator({"--devices", "2", "--next-device-ms", "0", "--expect", dir / "FIRMWARE.BIN",
                       "--save-image", dir / "received%d"});
    ASSERT_FALSE(emulator.Port().empty());
    const RunResult run = RunToEnd({dir / "downloader", "--port", emulator.Port(), "--count", "2",
                                    "--wait", "30", "--log", dir / "production.log"},
                                   kRunMs, {{"TMPDIR", dir / "tmp"}});
    EXPECT_EQ(run.code, 0) << run.err;
    const std::string results = emulator.Finish();
    EXPECT_TRUE(Has(results, "DEVICE 2 EXPECT MATCH")) << results;

    // The last block is padded with zeros, and a loaded file carries one spare zero byte.
    Bytes padded = bin;
    padded.resize((bin.size() + 1 + 127) / 128 * 128, 0);
    EXPECT_TRUE(ReadFile(dir / "received1") == padded);
    EXPECT_TRUE(ReadFile(dir / "received2") == padded);

    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X", static_cast<std::uint16_t>(ClsCRC().CRC16(bin)));
    const std::vector<std::string> records = Split(ReadText(dir / "production.log"), '\n');
    ASSERT_EQ(records.size(), 2u);
    for (const std::string& record : records) {
        const std::vector<std::string> f = Split(record, '\t');
        ASSERT_EQ(f.size(), 8u) << record;
        EXPECT_EQ(f[1] + " " + f[3] + " " + f[4] + " " + f[5],
                  emulator.Port() + " " + crc + " OK 0");
    }
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));  // the transfer's temporary copy is gone
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
    const char* interruptAt;  // Ctrl-C once this shows on the standard error; null: none
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

class CliDownloadFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CliDownloadFailure, ReportsItsOwnExitCodeAndRecord) {
    const FailureCase& c = GetParam();
    TempDir dir;
    MakeBin(dir / "FIRMWARE.BIN", 8000);
    fs::create_directory(dir / "tmp");
    Emulator emulator(c.emulatorArgs);
    ASSERT_FALSE(emulator.Port().empty());
    std::vector<std::string> argv = Cli({"--port", emulator.Port(), "--image", dir / "FIRMWARE.BIN",
                                         "--log", dir / "production.log"});
    argv.insert(argv.end(), c.cliArgs.begin(), c.cliArgs.end());
    Subprocess cli(argv, {{"TMPDIR", dir / "tmp"}});
    if (c.interruptAt != nullptr) {
        ASSERT_TRUE(cli.WaitForStderr(c.interruptAt, kRunMs)) << cli.Stderr();
        cli.Signal(SIGINT);
    }
    const RunResult run = Collect(cli);
    EXPECT_EQ(run.code, c.exitCode) << run.err;
    const std::vector<std::string> records = Split(ReadText(dir / "production.log"), '\n');
    ASSERT_EQ(records.size(), 1u);
    const std::vector<std::string> f = Split(records[0], '\t');
    ASSERT_EQ(f.size(), 8u);
    EXPECT_EQ(f[4] + " " + f[5], std::string(c.result) + " " + c.errorNumber);
    if (c.interruptAt == nullptr) {
        EXPECT_TRUE(Has(run.err, "(error " + std::string(c.errorNumber) + ")")) << run.err;
    }
    EXPECT_TRUE(fs::is_empty(dir / "tmp"));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, CliDownloadFailure,
    ::testing::Values(
        FailureCase{"NoButtonPress",
                    {"--press-after-ms", "-1"},
                    {"--wait", "1"},
                    5,
                    "NO-DEVICE",
                    "103",
                    nullptr},
        FailureCase{"ClearRefused", {"--refuse", "C"}, {}, 6, "CLEAR-FAILED", "130", nullptr},
        FailureCase{"BlockRefused", {"--nak-at", "1"}, {}, 7, "TRANSFER-FAILED", "143", nullptr},
        FailureCase{"TransferNeverStarts", {"--never-c"}, {}, 7, "TRANSFER-FAILED", "144", nullptr},
        // Paced like a real line, so that the transfer is still running when Ctrl-C comes.
        FailureCase{"CtrlCDuringTransfer",
                    {"--baud", "9600"},
                    {},
                    130,
                    "INTERRUPTED",
                    "0",
                    "Transferring: 10%"}),
    [](const ::testing::TestParamInfo<FailureCase>& row) { return row.param.name; });

// A port that another run holds is reported as busy, naming the holder rather than the
// emulator that merely has the terminal open; once the holder is interrupted the port is free.
TEST(CliPort, BusyPortNamesItsHolderAndIsFreedByCtrlC) {
    Emulator emulator({"--press-after-ms", "-1"});
    ASSERT_FALSE(emulator.Port().empty());
    Subprocess holder(Cli({"info", "--port", emulator.Port(), "--wait", "0"}));
    ASSERT_TRUE(holder.WaitForStderr(kPrompt, kRunMs)) << holder.Stderr();

    const RunResult busy = RunToEnd(Cli({"info", "--port", emulator.Port()}), kRunMs);
    EXPECT_EQ(busy.code, 4) << busy.err;
    EXPECT_TRUE(Has(busy.err, "PID " + std::to_string(holder.Pid()) + " (fieldprog-cli)"))
        << busy.err;

    holder.Signal(SIGINT);
    EXPECT_EQ(holder.Wait(kRunMs), 130);
    const RunResult after =
        RunToEnd(Cli({"info", "--port", emulator.Port(), "--wait", "1"}), kRunMs);
    EXPECT_EQ(after.code, 5) << after.err;  // the port opened; nobody pressed the button
}

// Everything that can be refused is refused before the port is opened: the port named here
// does not exist, so reaching it would give exit code 3 instead.
TEST(CliInput, BadInputIsRefusedBeforeThePortIsOpened) {
    TempDir dir;
    MakeBin(dir / "GOOD.BIN", 100);
    MakeBin(dir / "SHORT.BIN", 100, 50);
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
        {{"info"}, 3, "no-such-port: no such device"},  // the same port, reached: the rows above never got there
    };
    for (const Row& row : rows) {
        std::vector<std::string> argv = Cli(row.args);
        argv.insert(argv.end(), {"--port", dir / "no-such-port"});
        const RunResult run = RunToEnd(argv, kRunMs);
        EXPECT_EQ(run.code, row.code) << row.args[0] << ": " << run.err;
        EXPECT_TRUE(Has(run.err, row.said)) << row.args[0] << ": " << run.err;
    }
}

// One device through a bench session: identity of the blank device as text and JSON, then
// program it, verify it, read it back, change one byte, and verify again, which must point at
// exactly that byte.
TEST(CliBench, InfoDownloadVerifyReadBackPokeVerify) {
    TempDir dir;
    const Bytes bin = MakeBin(dir / "FIRMWARE.BIN", 1000);
    Emulator emulator({"--press-after-ms", "-1", "--devices", "0", "--pages", "0008"});
    ASSERT_FALSE(emulator.Port().empty());
    auto cli = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--port", emulator.Port(), "--wait", "30"});
        return emulator.RunPressed(Cli(args));
    };

    const RunResult text = cli({"info"});
    EXPECT_EQ(text.code, 0) << text.err;
    for (const char* line :
         {"Software version:        123456", "Qualification revision:  09",
          "Flash pages:             0008 (8 banks)", "Program name:            none found"})
        EXPECT_TRUE(Has(text.out, line)) << text.out;
    const RunResult json = cli({"info", "--json"});
    EXPECT_EQ(json.code, 0) << json.err;
    ASSERT_EQ(Split(json.out, '\n').size(), 1u) << json.out;
    for (const char* field :
         {"\"software_revision\":\"07\"", "\"flash_banks\":8,", "\"program_name\":null}"})
        EXPECT_TRUE(Has(json.out, field)) << json.out;

    const RunResult download = cli({"--image", dir / "FIRMWARE.BIN"});
    ASSERT_EQ(download.code, 0) << download.err;
    const RunResult equal = cli({"verify", dir / "FIRMWARE.BIN"});
    EXPECT_EQ(equal.code, 0) << equal.out << equal.err;
    EXPECT_TRUE(Has(equal.out, "Equal")) << equal.out;

    const RunResult readBack = cli({"read-back", dir / "BACK.BIN"});
    EXPECT_EQ(readBack.code, 0) << readBack.err;
    EXPECT_TRUE(ReadFile(dir / "BACK.BIN") == bin);
    EXPECT_TRUE(Has(readBack.out, "Read back 1000 data bytes")) << readBack.out;

    // Flash bits can only be cleared, so writing 00 changes any byte that is not 00 already.
    ASSERT_NE(bin[8 + 0x20], 0);
    const RunResult poke = cli({"poke", "0x20", "00"});
    EXPECT_EQ(poke.code, 0) << poke.err;
    const RunResult peek = cli({"peek", "20"});
    EXPECT_EQ(peek.code, 0) << peek.err;
    EXPECT_TRUE(Has(peek.out, "000020: 00")) << peek.out;

    const RunResult differs = cli({"verify", dir / "FIRMWARE.BIN"});
    EXPECT_EQ(differs.code, 1) << differs.err;
    EXPECT_TRUE(Has(differs.out,
                    "1 byte(s) differ, the first at flash address 0x000020 "
                    "(image offset 0x000028)"))
        << differs.out;
    const RunResult rewrite = cli({"rewrite"});
    EXPECT_EQ(rewrite.code, 0) << rewrite.err;

    // A name marker at the very end of the data leaves the name cut short: the search fails,
    // which is not the same as a flash without a name.
    Bytes cut(8 + 1024, 0);
    cut[6] = 0x04;
    cut[8 + 1020] = 0x24;
    cut[8 + 1021] = 0x26;
    cut[8 + 1022] = cut[8 + 1023] = 0x41;
    std::ofstream(dir / "CUT.BIN", std::ios::binary)
        .write(reinterpret_cast<const char*>(cut.data()), static_cast<std::streamsize>(cut.size()));
    ASSERT_EQ(cli({"--image", dir / "CUT.BIN"}).code, 0);
    const RunResult faulted = cli({"info"});
    EXPECT_EQ(faulted.code, 11) << faulted.out << faulted.err;
    EXPECT_TRUE(Has(faulted.err, "Reading the program name failed")) << faulted.err;
    emulator.Finish();
}
