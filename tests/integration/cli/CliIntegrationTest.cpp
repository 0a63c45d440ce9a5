// fieldprog-cli against fieldprog-emu on pseudo-terminals; one-port failures: the fault matrix.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ClsCRC.h"
#include "EmuProcess.h"
#include "Images.h"
#include "TestFiles.h"

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    return text;
}

std::vector<std::string> Cli(std::vector<std::string> args) {
    args.insert(args.begin(), FIELDPROG_CLI_EXE);
    return args;
}

}  // namespace

// A downloader built by the tool programs two devices from its own payload, byte for byte.
TEST(CliDownload, BuiltDownloaderProgramsTwoDevicesFromItsOwnPayload) {
    TempDir dir;
    const Bytes bin = BinImage(1000);
    WriteBytes(dir / "FIRMWARE.BIN", Text(bin));
    const RunResult built =
        RunToEnd({FIELDPROG_BUILD_EXE, "--language", "0", "--description", "Test image", "--output",
                  dir / "downloader", "--downloader", FIELDPROG_CLI_EXE, dir / "FIRMWARE.BIN"},
                 kPatienceMs);
    ASSERT_EQ(built.code, 0) << built.err;

    TempDir tmp;
    EmuProcess emulator({"--devices", "2", "--next-device-ms", "0", "--fw-version", "654321 01 02",
                         "--expect", dir / "FIRMWARE.BIN", "--save-image", dir / "received%d"});
    ASSERT_FALSE(emulator.Port().empty());
    const std::string before = UtcNow();
    // Records from stations in any time zone merge: their times are UTC, not the station's 13 h.
    const RunResult run = RunToEnd({dir / "downloader", "--port", emulator.Port(), "--count", "2",
                                    "--wait", "30", "--log", dir / "production.log"},
                                   kPatienceMs, {{"TMPDIR", tmp.Path()}, {"TZ", "FPT-13"}});
    const std::string after = UtcNow();
    EXPECT_EQ(run.code, 0) << run.err;
    // In a pipe each phase's progress is told once that phase has begun.
    EXPECT_LT(run.err.find("Clearing the flash: 0%"), run.err.find("Transferring: 0%")) << run.err;
    const std::string results = emulator.Finish();
    EXPECT_TRUE(Has(results, "DEVICE 2 EXPECT MATCH") && Has(results, "OK 2 FAILED 0")) << results;
    for (const char* received : {"received1", "received2"})
        EXPECT_EQ(ReadBytes(dir / received), Text(Padded(bin))) << received;

    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X", static_cast<std::uint16_t>(ClsCRC().CRC16(bin)));
    const std::vector<std::string> records = Split(ReadBytes(dir / "production.log"), '\n');
    ASSERT_EQ(records.size(), 2u);
    for (const std::string& record : records) {
        const std::vector<std::string> f = Split(record, '\t');
        ASSERT_EQ(f.size(), 9u) << record;
        EXPECT_TRUE(before <= f[0] && f[0] <= after) << before << " " << f[0] << " " << after;
        EXPECT_EQ(f[1] + " " + f[3] + " " + f[4] + " " + f[5] + " " + f[8],
                  emulator.Port() + " " + crc + " OK 0 654321 01 02");
    }
    // The builder shows the log's CRC-16, so that a record leads back to its downloader.
    const RunResult shown =
        RunToEnd({FIELDPROG_BUILD_EXE, "--show", dir / "downloader"}, kPatienceMs);
    EXPECT_TRUE(Has(shown.out, "CRC-16:      " + Split(records[0], '\t')[3] + " ")) << shown.out;
    EXPECT_EQ(tmp.Entries(), 0) << "a file was left in the temporary folder";
}

// Bad input is refused before the port is opened (reaching the missing port would exit 3).
TEST(CliInput, BadInputIsRefusedBeforeThePortIsOpened) {
    TempDir dir;
    WriteBytes(dir / "GOOD.BIN", Text(BinImage(100)));
    WriteBytes(dir / "SHORT.BIN", Text(BinImage(100)).substr(0, 50));
    const struct {
        std::vector<std::string> args;
        int code;
        const char* said;
    } rows[] = {
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
        // The same port, reached: the rows above never got there.
        {{"info"}, 3, "no-such-port: no such device"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> argv = Cli(row.args);
        argv.insert(argv.end(), {"--port", dir / "no-such-port"});
        const RunResult run = RunToEnd(argv, kPatienceMs);
        EXPECT_EQ(run.code, row.code) << row.args[0] << ": " << run.err;
        EXPECT_TRUE(Has(run.err, row.said)) << row.args[0] << ": " << run.err;
    }
}

// A bench session on a y/n-clearing device: identity, program, buffers, verify, read-back, poke.
TEST(CliBench, InfoDownloadVerifyReadBackPokeVerifyRewrite) {
    TempDir dir;
    // The name behind bytes 24h 26h; without 24h and 42h, "2426" occurs nowhere else, even split.
    Bytes bin = BinImage(1000);
    std::replace_if(
        bin.begin() + 8, bin.end(), [](std::uint8_t b) { return b == 0x24 || b == 0x42; }, 0x5A);
    const std::string name = "$&FPNAME-09";
    std::copy(name.begin(), name.end(), bin.begin() + 8 + 900);
    std::copy_n("\x3C\x5D\x6E", 3, bin.begin() + 8 + 0x1F);  // what the address mode shows
    WriteBytes(dir / "FIRMWARE.BIN", Text(bin));
    EmuProcess emulator(
        {"--press-after-ms", "-1", "--devices", "0", "--pages", "0008", "--yn-prompt", "C"});
    ASSERT_FALSE(emulator.Port().empty());
    // One command, the button pressed once asked for: its exit code and what it printed.
    const auto expect = [&](std::vector<std::string> args, int code,
                            const std::vector<std::string>& said) {
        args.insert(args.end(), {"--port", emulator.Port(), "--wait", "30"});
        Subprocess cli(Cli(args));
        if (cli.WaitForStderr(kPrompt, kPatienceMs)) emulator.Press();
        const RunResult run{cli.Wait(kPatienceMs), cli.Stdout(), cli.Stderr()};
        EXPECT_EQ(run.code, code) << args[0] << ": " << run.out << run.err;
        for (const std::string& text : said) EXPECT_TRUE(Has(run.out, text)) << run.out;
        return run;
    };

    expect({"info"}, 0,
           {"Software version:        123456", "Qualification revision:  09",
            "Flash pages:             0008 (8 banks)", "Program name:            none found"});
    const RunResult json =
        expect({"info", "--json"}, 0,
               {"\"software_revision\":\"07\"", "\"flash_banks\":8,", "\"program_name\":null}"});
    EXPECT_EQ(Split(json.out, '\n').size(), 1u) << json.out;

    ASSERT_EQ(expect({"--image", dir / "FIRMWARE.BIN"}, 0, {}).code, 0);
    expect({"info"}, 0, {"Program name:            FPNAME-09"});
    expect({"buffers"}, 0,
           {"Internal receive buffer (128 bytes):", "Primary flash RAM buffer (256 bytes):",
            "Secondary flash RAM buffer (256 bytes):"});
    expect({"verify", dir / "FIRMWARE.BIN"}, 0, {"Equal"});
    expect({"read-back", dir / "BACK.BIN"}, 0, {"Read back 1000 data bytes"});
    EXPECT_EQ(ReadBytes(dir / "BACK.BIN"), Text(bin));

    // Flash bits can only be cleared, so writing 00 changes the 5Dh there.
    expect({"poke", "0x20", "00"}, 0, {});
    expect({"peek", "20"}, 0, {"000020: 00"});
    expect({"peek", "1F", "3"}, 0, {"00001F: 3C 00 6E"});
    expect({"verify", dir / "FIRMWARE.BIN"}, 1,
           {"1 byte(s) differ, the first at flash address 0x000020 (image offset 0x000028)"});
    expect({"rewrite"}, 0, {"Flash rewritten."});
    expect({"leds"}, 0, {"LEDs flashed."});
    expect({"interpreter"}, 0, {"Interpreter started."});
    expect({"power-down"}, 0, {"Powered down."});

    // A name marker at the very end leaves the name cut: a failed search, not a flash without one.
    Bytes cut = binfile::Header(1024);
    cut.resize(8 + 1020, 0);
    cut.insert(cut.end(), {0x24, 0x26, 0x41, 0x41});
    WriteBytes(dir / "CUT.BIN", Text(cut));
    ASSERT_EQ(expect({"--image", dir / "CUT.BIN"}, 0, {}).code, 0);
    const RunResult faulted = expect({"info"}, 11, {});
    EXPECT_TRUE(Has(faulted.err, "Reading the program name failed")) << faulted.err;
    emulator.Finish();
}

// Four ports: a failure stays on its port (recorded, exit 12); Ctrl-C ends them all, records whole.
TEST(CliStation, AFailureStaysOnItsPortAndCtrlCEndsThemAll) {
    TempDir dir, tmp;
    const std::string fw = dir / "FW.BIN", big = dir / "BIG.BIN";
    WriteBytes(fw, Text(BinImage(1000)));
    WriteBytes(big, Text(BinImage(16000)));
    struct Run {
        int code;
        std::vector<std::string> ports, results;  // each emulator's result lines and log
        std::string out, err;
    };
    const auto station = [&](const std::vector<std::vector<std::string>>& emulatorArgs,
                             std::vector<std::string> args, auto&& during) {
        std::vector<std::unique_ptr<EmuProcess>> emulators;
        Run run;
        for (const auto& extra : emulatorArgs) {
            emulators.push_back(std::make_unique<EmuProcess>(extra));
            run.ports.push_back(emulators.back()->Port());
            args.insert(args.end(), {"--port", run.ports.back()});
        }
        Subprocess cli(Cli(args), {{"TMPDIR", tmp.Path()}});
        during(cli, run.ports, emulators);
        run.code = cli.Wait(kPatienceMs);
        run.out = cli.Stdout();
        run.err = cli.Stderr();
        for (auto& emulator : emulators)
            run.results.push_back(emulator->Finish() + emulator->Process().Stderr());
        return run;
    };
    const std::vector<std::string> logged = {"--expect", fw, "--log"};

    const Run mixed =
        station({logged, logged, {"--expect", fw, "--nak-at", "2"}, {"--wrong-echo", "C"}},
                {"--image", fw, "--count", "4", "--log", dir / "station.log"}, [](auto&&...) {});
    EXPECT_EQ(mixed.code, 12);
    EXPECT_TRUE(Has(mixed.results[0], "EXPECT MATCH") && Has(mixed.results[1], "EXPECT MATCH"));
    const std::string log = ReadBytes(dir / "station.log");
    EXPECT_EQ(Split(log, '\n').size(), 4u);
    EXPECT_TRUE(Has(log, "\t" + mixed.ports[2] + "\tFW.BIN\t") &&
                Has(log, "\tTRANSFER-FAILED\t143\tDownload binary data acknowledge not received."))
        << log;
    EXPECT_TRUE(Has(log, "\t" + mixed.ports[3] + "\tFW.BIN\t") &&
                Has(log, "\tCLEAR-FAILED\t130\tClear flash memory command not recognised."))
        << log;

    // Three devices pressed at once and a count of two: the third is never spoken to.
    const std::vector<std::string> unpressed = {"--expect", fw, "--log", "--press-after-ms", "-1"};
    const Run counted =
        station({unpressed, unpressed, unpressed},
                {"--image", fw, "--count", "2", "--log", dir / "count.log"},
                [](Subprocess& cli, const std::vector<std::string>& ports, auto& emulators) {
                    for (const std::string& port : ports)
                        cli.WaitForStderr(port + ": waiting", kPatienceMs);
                    for (auto& emulator : emulators) emulator->Press();
                });
    EXPECT_EQ(counted.code, 0) << counted.err;
    EXPECT_EQ(Split(ReadBytes(dir / "count.log"), '\n').size(), 2u);
    EXPECT_TRUE(Has(counted.out, "1 press left unanswered")) << counted.out;
    std::string spoken;  // per device: P programmed, g greeted only, - never spoken to
    for (const std::string& r : counted.results)
        spoken += Has(r, "greeting begins") ? (Has(r, "EXPECT MATCH") ? "P" : "g") : "-";
    std::sort(spoken.begin(), spoken.end());
    EXPECT_EQ(spoken, "-PP");

    // The log refused (a folder there) for a while, then for good: no record lost, stderr and 14.
    const std::string held = dir / "held.log";
    const std::vector<std::string> late = {"--expect", fw, "--log", "--press-after-ms", "4000"};
    for (const bool forGood : {false, true}) {
        WriteBytes(held, "");
        const Run run = station(
            {logged, late, late}, {"--image", fw, "--count", "3", "--log", held},
            [&](Subprocess& cli, const std::vector<std::string>& ports, auto&) {
                cli.WaitForStderr(ports[0] + ": transf", kPatienceMs);
                ASSERT_EQ(std::rename(held.c_str(), (held + ".away").c_str()), 0);
                ASSERT_EQ(mkdir(held.c_str(), 0700), 0);
                ASSERT_TRUE(cli.WaitForStderr("record(s) held back", kPatienceMs)) << cli.Stderr();
                if (forGood) return;
                ASSERT_EQ(rmdir(held.c_str()), 0);
                ASSERT_EQ(std::rename((held + ".away").c_str(), held.c_str()), 0);
            });
        std::vector<std::string> lines;  // the records, wherever they ended up
        for (const std::string& line : Split(forGood ? run.err : ReadBytes(held), '\n'))
            if (Has(line, "\tOK\t0\t")) lines.push_back(line);
        EXPECT_EQ(run.code, forGood ? 14 : 0) << run.err;
        ASSERT_EQ(lines.size(), 3u) << run.err;
        EXPECT_TRUE(std::is_sorted(lines.begin(), lines.end(), [](const auto& a, const auto& b) {
            return a.substr(0, 20) < b.substr(0, 20);  // by time
        })) << run.err;
        for (const std::string& line : lines) {  // nine fields, the last the firmware
            const std::vector<std::string> f = Split(line, '\t');
            EXPECT_EQ(f.size() == 9 ? f[8] : line, "123456 07 08 09");
        }
        if (forGood) rmdir(held.c_str());
    }

    const std::vector<std::string> paced = {"--baud", "9600", "--expect", big};
    const Run stopped =
        station({paced, paced, paced}, {"--image", big, "--endless", "--log", dir / "ctrl-c.log"},
                [](Subprocess& cli, const std::vector<std::string>& ports, auto&) {
                    for (const std::string& port : ports)
                        cli.WaitForStderr(port + ": transferring", kPatienceMs);
                    cli.Signal(SIGINT);
                });
    EXPECT_EQ(stopped.code, 130);
    const std::string records = ReadBytes(dir / "ctrl-c.log");
    EXPECT_EQ(Split(records, '\n').size(), 3u);
    for (const std::string& record : Split(records, '\n')) {
        EXPECT_EQ(Split(record, '\t').size(), 9u) << record;
        EXPECT_TRUE(Has(record, "\tINTERRUPTED\t")) << record;
    }
    EXPECT_EQ(records.back(), '\n');
    EXPECT_EQ(tmp.Entries(), 0);
}

// A record cut by a full disk stays a lone fragment; a TSV reader sees whole records, plain text.
TEST(CliLog, AFragmentStaysAloneAndATsvReaderFindsEveryRecordAsPlainText) {
    TempDir dir;
    const std::string fw = dir / "-FW.BIN", log = dir / "log.tsv";
    WriteBytes(fw, Text(BinImage(1000)));
    WriteBytes(log, std::string(1000, 'x') + "\n");
    EmuProcess quoted(
        {"--fw-version", "\"1.0 beta", "--devices", "2", "--next-device-ms", "8000", "--stay"});
    EmuProcess formula({"--fw-version", "=HYPERLINK(\"x\")", "--stay"});
    EmuProcess bad({"--wrong-echo", "C", "--stay"});
    // A 1024-byte limit (dash counts 512-byte blocks) cuts the record: Ctrl-C exits 14, then 12.
    Subprocess cut({"/bin/sh", "-c", "ulimit -f 2 && exec \"$0\" \"$@\"", FIELDPROG_CLI_EXE,
                    "--image", fw, "--port", quoted.Port(), "--endless", "--log", log});
    EXPECT_TRUE(cut.WaitFor("out", "Device 1 programmed", kPatienceMs));
    cut.Signal(SIGINT);
    EXPECT_EQ(cut.Wait(kPatienceMs), 14);
    Subprocess run(Cli({"--image", fw, "--port", quoted.Port(), "--port", formula.Port(), "--port",
                        bad.Port(), "--endless", "--log", log}));
    for (const std::string& said :
         {quoted.Port() + ": device 1 programmed", formula.Port() + ": device 1 programmed",
          bad.Port() + ": device 1 failed"})
        EXPECT_TRUE(run.WaitForStderr(said, kPatienceMs)) << said;
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(kPatienceMs), 12) << run.Stderr();
    // Per row its fields; per record its image, its firmware and the cells that start a formula.
    const RunResult read = RunToEnd(
        {"/usr/bin/python3", "-c",
         "import csv, sys\n"
         "rows = ['|'.join(map(str, [len(r)] + ([r[2], r[8], len([c for c in r if c[:1] and c[0] "
         "in '=+-@\"'])] if len(r) == 9 else []))) for r in csv.reader(open(sys.argv[1], "
         "newline=''), dialect='excel-tab')]\n"
         "print(*rows[:2], *sorted(rows[2:]), sep='\\n')\n",
         log},
        kPatienceMs);
    // The 23 bytes of the fragment are two fields.
    EXPECT_EQ(read.out,
              "1\n2\n9|'-FW.BIN|'\"1.0 beta|0\n9|'-FW.BIN|'=HYPERLINK(\"x\")|0\n"
              "9|'-FW.BIN|123456 07 08 09|0\n")
        << read.err;
}

// An unread 80-column console stalls no transfer; by-id ports shown short, each line fits a row.
TEST(CliStation, AConsoleThatDoesNotReadStallsNoTransferAndLinesFitTheWidth) {
    TempDir dir;
    const std::string fw = dir / "FW.BIN", byId = dir / "usb-FTDI_FT232R_USB_UART_A50285B";
    WriteBytes(fw, Text(BinImage(3000)));
    std::vector<std::unique_ptr<EmuProcess>> emulators;
    std::vector<std::string> args = Cli({"--image", fw, "--count", "2", "--log", dir / "log"});
    for (const char* serial : {"I-if00-port0", "J-if00-port0"}) {
        emulators.push_back(std::make_unique<EmuProcess>(
            std::vector<std::string>{"--press-after-ms", "-1", "--expect", fw}));
        ASSERT_EQ(symlink(emulators.back()->Port().c_str(), (byId + serial).c_str()), 0);
        args.insert(args.end(), {"--port", byId + serial});
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string slave = ptsname(master);
    const int fill = open(slave.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY);
    args.insert(args.begin(),
                {"/bin/sh", "-c", "stty cols 80 <" + slave + "; exec \"$0\" \"$@\" 2>" + slave});
    Subprocess cli(args);
    std::string screen;
    char buffer[4096];
    while (!Has(screen, "BI-if00-port0  waiting") || !Has(screen, "BJ-if00-port0  waiting")) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        ASSERT_GT(n, 0) << screen;
        screen.append(buffer, static_cast<std::size_t>(n));
    }
    // Nobody reads from here on: the terminal fills, and every write to it would block.
    while (write(fill, "\n\n\n\n", 4) > 0) continue;
    close(fill);
    for (auto& emulator : emulators) emulator->Press();
    for (auto& emulator : emulators)  // a stalled transfer would never get here
        EXPECT_TRUE(emulator->Process().WaitFor("out", "EXPECT MATCH", kPatienceMs));
    std::thread reader([&] {
        for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;)
            screen.append(buffer, static_cast<std::size_t>(n));
    });
    EXPECT_EQ(cli.Wait(kPatienceMs), 0) << cli.Stderr();
    reader.join();
    close(master);
    for (std::string line : Split(screen, '\n')) {
        line = std::regex_replace(line, std::regex("\r|\x1b\\[2K|\x1b\\[2A"), "");
        EXPECT_FALSE(Has(line, "\x1b[")) << "moves up by other than the table's rows: " << line;
        EXPECT_TRUE(!Has(line, "  done ") || (line.size() < 80 && !Has(line, dir.Path()))) << line;
    }
    EXPECT_TRUE(Has(ReadBytes(dir / "log"), "\t" + byId + "J-if00-port0\t"));
}

// A press without a greeting gives its claim back to a port whose device comes later.
TEST(CliStation, AClaimGivenBackIsTakenByAPortThatWaitedForIt) {
    TempDir dir;
    WriteBytes(dir / "FW.BIN", Text(BinImage(1000)));
    EmuProcess mute({"--no-echo", "all", "--stay"}), late({"--press-after-ms", "8000"});
    const RunResult run = RunToEnd(Cli({"--image", dir / "FW.BIN", "--count", "1", "--wait", "5",
                                        "--port", mute.Port(), "--port", late.Port()}),
                                   kPatienceMs);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(Has(run.err, late.Port() + ": done") &&
                Has(run.err, mute.Port() + ": stopped: count reached"))
        << run.err;
}

// `ports --json` on ptys and a fake sysfs: adaptor over built-in, remembered if free, first free.
TEST(CliPorts, ListsWhatTheWindowOffersAndWhyItPreselectsOne) {
    TempDir dir, sys;
    std::map<std::string, std::string> env = {{"FIELDPROG_COM2", dir / "none"},
                                              {"FIELDPROG_SYSFS", sys.Path()},
                                              {"XDG_CONFIG_HOME", dir.Path()}};
    int held = -1;
    for (const auto& [com, device] : {std::pair{1, "devices/platform/serial8250/ttyS0"},
                                      {3, "devices/usb1/1-1/1-1:1.0/ttyUSB0"},
                                      {4, ""}}) {
        const int pt = posix_openpt(O_RDWR | O_NOCTTY);  // kept open to the end
        ASSERT_TRUE(pt >= 0 && grantpt(pt) == 0 && unlockpt(pt) == 0);
        const std::string path = ptsname(pt), name = dir / ("com" + std::to_string(com));
        std::filesystem::create_symlink(path, name);
        env["FIELDPROG_COM" + std::to_string(com)] = name;
        if (com == 4) held = open(path.c_str(), O_RDWR | O_NOCTTY);
        const std::string tty = sys / ("class/tty/" + path.substr(path.rfind('/') + 1));
        std::filesystem::create_directories(sys / device);
        std::filesystem::create_directories(tty);
        std::filesystem::create_directory_symlink(sys / device, tty + "/device");
    }
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    WriteBytes(sys / "devices/usb1/1-1/1-1:1.0/bInterfaceNumber", "00\n");
    std::filesystem::create_directories(dir / "fieldprog");
    const std::pair<const char*, const char*> rows[] = {
        {"", "\"preselected\":3,\"reason\":\"usb-adaptor\",\"remembered\":null}"},
        {"LastPort=1", "\"preselected\":1,\"reason\":\"remembered\",\"remembered\":1}"},
        {"LastPort=4", "\"preselected\":3,\"reason\":\"usb-adaptor\",\"remembered\":4}"},
        {"LastPort=x9", "\"preselected\":1,\"reason\":\"first-free\",\"remembered\":null}"}};
    for (const auto& [stored, chosen] : rows) {
        WriteBytes(dir / "fieldprog/settings", stored);
        if (&stored == &rows[3].first) env["FIELDPROG_SYSFS"] = dir / "none";
        RunResult run = RunToEnd(Cli({"ports", "--json"}), kPatienceMs, env);
        EXPECT_EQ(run.code, 0) << run.err;
        EXPECT_TRUE(Has(run.out, chosen)) << run.out;
        if (&stored != &rows[0].first) continue;
        for (std::size_t at; (at = run.out.find(dir.Path())) != std::string::npos;)
            run.out.replace(at, dir.Path().size(), "D");
        const std::size_t holder = run.out.find("held by ") + 8;
        EXPECT_EQ(
            run.out.replace(holder, run.out.find('"', holder) - holder, "H"),
            "{\"ports\":[{\"com\":1,\"device\":\"D/com1\",\"name\":\"D/com1\",\"usb_adaptor\":"
            "false,\"state\":\"free\",\"why\":\"\",\"preselected\":false},{\"com\":2,"
            "\"device\":\"D/none\",\"name\":\"D/none\",\"usb_adaptor\":false,\"state\":"
            "\"absent\",\"why\":\"D/none: no such device\",\"preselected\":false},{\"com\":3,"
            "\"device\":\"D/com3\",\"name\":\"D/com3\",\"usb_adaptor\":true,\"state\":"
            "\"free\",\"why\":\"\",\"preselected\":true},{\"com\":4,\"device\":\"D/com4\","
            "\"name\":\"D/com4\",\"usb_adaptor\":false,\"state\":\"held\",\"why\":\"D/com4 "
            "is busy: held by H\",\"preselected\":false}]," +
                std::string(chosen) + "\n");
    }
}
