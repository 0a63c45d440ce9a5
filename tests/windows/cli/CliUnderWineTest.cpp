// fieldprog-cli.exe as a technician runs it on Windows: against the real emulator through
// Wine's COM ports, checking what reached the emulated devices, the exit codes and the
// production record.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "WineHost.h"

namespace {

using namespace winehost;

const char* const kPrompt = "Press the button on the top of the Field Programmer";

class CliUnderWineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Emulator::Available())
            GTEST_SKIP() << "needs Wine, WINEPREFIX and FIELDPROG_EMU (scripts/test-windows)";
        ASSERT_TRUE(FileSystem::WriteWholeFile(folder / "FW.BIN", MakeBin(700, 11)));
    }
    std::string Cli(const std::string& arguments) const {
        return "\"" + ProgramFolder() + "fieldprog-cli.exe\" " + arguments;
    }
    // Runs the program and presses the device's button whenever it asks for it.
    long RunPressing(Program& program, Emulator& emulator) const {
        int presses = 0;
        for (;;) {
            const long code = program.Wait(100);
            if (code != -1) return code;
            for (const int prompts = Count(program.Err(), kPrompt); presses < prompts; ++presses)
                emulator.Press();
        }
    }

    Folder folder;
};

TEST_F(CliUnderWineTest, ProgramsTwoDevicesThenReadsTheInfoAndVerifiesTheFlash) {
    Emulator emulator(folder, 3,
                      "--press-after-ms -1 --next-device-ms 3600000 --devices 0 --pages 0008 "
                      "--fw-version '654321 01 02 03' --expect '" +
                          folder.Host("FW.BIN") + "'");
    ASSERT_TRUE(emulator.Started());

    Program download(folder,
                     Cli("--com 3 --count 2 --image \"" + (folder / "FW.BIN") + "\" --log \"" +
                         (folder / "log.txt") + "\""),
                     "download");
    EXPECT_EQ(RunPressing(download, emulator), 0) << download.Err();
    EXPECT_TRUE(Has(download.Out(), "Device 2 programmed: FW.BIN, 708 bytes")) << download.Out();
    const std::string devices = emulator.Await("DEVICE 2 EXPECT");
    EXPECT_TRUE(Has(devices, "DEVICE 1 EXPECT MATCH")) << devices;
    EXPECT_TRUE(Has(devices, "DEVICE 2 EXPECT MATCH")) << devices;
    std::string log;
    ASSERT_TRUE(FileSystem::ReadWholeFile(folder / "log.txt", log));
    // One record per device: UTC time, the port as Windows names it, the image and the result.
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
    EXPECT_TRUE(Has(log, "Z\t\\\\.\\COM3\tFW.BIN\t")) << log;
    EXPECT_TRUE(Has(log, "\tOK\t0\t")) << log;

    Program info(folder, Cli("info --port COM3 --json"), "info");
    EXPECT_EQ(RunPressing(info, emulator), 0) << info.Err();
    EXPECT_TRUE(Has(info.Out(), "\"software_version\":\"654321\"")) << info.Out();

    Program verify(folder, Cli("verify --port com3 \"" + (folder / "FW.BIN") + "\""), "verify");
    EXPECT_EQ(RunPressing(verify, emulator), 0) << verify.Err() << verify.Out();
}

TEST_F(CliUnderWineTest, StationProgramsOneDeviceOnEachOfTwoPorts) {
    const std::string options = "--press-after-ms 300 --expect '" + folder.Host("FW.BIN") + "'";
    Emulator com3(folder, 3, options);
    Emulator com4(folder, 4, options);
    ASSERT_TRUE(com3.Started() && com4.Started());

    Program station(folder, Cli("--com 3,4 --count 2 --image \"" + (folder / "FW.BIN") + "\""),
                    "station");
    EXPECT_EQ(station.Wait(), 0) << station.Err();
    EXPECT_TRUE(Has(station.Out(), "Total: 2 programmed, 0 failed")) << station.Out();
    EXPECT_TRUE(Has(com3.Await("DONE"), "DEVICE 1 EXPECT MATCH"));
    EXPECT_TRUE(Has(com4.Await("DONE"), "DEVICE 1 EXPECT MATCH"));
}

}  // namespace
