// fieldprog-cli.exe as a technician runs it on Windows, against the real emulator through Wine's
// COM ports: what reached the devices, the exit codes and the production record.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "Images.h"
#include "WineHost.h"

namespace {

using namespace winehost;

// A station on COM 3 and COM 4 programs one device on each from a Windows downloader built on
// Linux and records both, with the CRC-16 that the builder shows for that downloader; then verify
// reads the flash on COM 3 back, by another spelling of the port, the button pressed when it asks.
TEST(CliUnderWineTest, StationProgramsTwoPortsThenVerifyReadsTheFlashBack) {
    if (!Emulator::Available())
        GTEST_SKIP() << "needs Wine, WINEPREFIX and FIELDPROG_EMU (scripts/test-windows)";
    Folder folder;
    const std::string image = folder / "FW.BIN", log = folder / "log.txt",
                      cli = "\"" + ProgramFolder() + "fieldprog-cli.exe\" ",
                      expect = "--expect '" + folder.Host("FW.BIN") + "'";
    ASSERT_TRUE(FileSystem::WriteWholeFile(image, Text(BinImage(700, 11))));
    const std::string built =
        folder.OnHost("build", "\"$(dirname \"$FIELDPROG_EMU\")/fieldprog-build\" --downloader '" +
                                   HostPath(ProgramFolder()) + "fieldprog.exe' -o FW.exe FW.BIN");
    ASSERT_TRUE(Has(built, "status 0")) << built;
    Emulator com3(folder, 3, "--next-device-ms 3600000 --devices 0 --pages 0008 " + expect);
    Emulator com4(folder, 4, expect);
    ASSERT_TRUE(com3.Started() && com4.Started());

    Program station(
        folder,
        cli + "--com 3,4 --count 2 --payload \"" + (folder / "FW.exe") + "\" --log \"" + log + "\"",
        "station");
    EXPECT_EQ(station.Wait(), 0) << station.Output();
    EXPECT_TRUE(Has(station.Output(), "Total: 2 programmed, 0 failed")) << station.Output();
    EXPECT_TRUE(Has(com3.Await("DEVICE 1 EXPECT"), "DEVICE 1 EXPECT MATCH"));
    EXPECT_TRUE(Has(com4.Await("DONE"), "DEVICE 1 EXPECT MATCH"));
    // One record per device: UTC time, the port as Windows names it, the image and the result.
    const std::string records = Read(log);
    EXPECT_EQ(std::count(records.begin(), records.end(), '\n'), 2) << records;
    EXPECT_TRUE(Has(records, "Z\t\\\\.\\COM3\tFW\t")) << records;
    EXPECT_TRUE(Has(records, "Z\t\\\\.\\COM4\tFW\t")) << records;
    EXPECT_EQ(Count(records, "\tOK\t0\t"), 2) << records;
    Program show(folder,
                 "\"" + ProgramFolder() + "fieldprog-build.exe\" --show " + folder / "FW.exe",
                 "show");
    EXPECT_EQ(show.Wait(), 0) << show.Output();
    const std::string crc = records.substr(records.find("\tFW\t") + 4, 4);
    EXPECT_TRUE(Has(show.Output(), "CRC-16:      " + crc + " ")) << show.Output() << records;

    Program verify(folder, cli + "verify --port com3 \"" + image + "\"", "verify");
    for (int presses = 0; verify.Wait(100) == -1;) {
        for (const int asked = Count(verify.Output(), "Press the button on the top");
             presses < asked; ++presses)
            com3.Press();
    }
    EXPECT_EQ(verify.Wait(), 0) << verify.Output();
}

}  // namespace

// `ports --json` on a PC with the device's adaptor on COM 3 and another port on COM 8, COM 1,
// 2 and 4 no serial ports, and COM 8 remembered as the port that programmed the last device.
TEST(CliUnderWineTest, PortsListsWhatTheWindowOffers) {
    if (!Emulator::Available())
        GTEST_SKIP() << "needs Wine, WINEPREFIX and FIELDPROG_EMU (scripts/test-windows)";
    Folder folder;
    const std::string links =
        "for n in 1 2 4; do ln -sfn /dev/null \"$WINEPREFIX/dosdevices/com$n\"";
    ASSERT_TRUE(Has(folder.OnHost("nowhere", links + "; done"), "status 0"));
    struct Undo {  // Wine's own mapping of COM 1 to COM 4 back for the other tests
        const Folder& folder;
        ~Undo() { folder.OnHost("back", "rm -f \"$WINEPREFIX\"/dosdevices/com[124]"); }
    } undo{folder};
    Emulator com3(folder, 3, "--press-after-ms -1"), com8(folder, 8, "--press-after-ms -1");
    ASSERT_TRUE(com3.Started() && com8.Started());
    ASSERT_EQ(
        RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\fieldprog", L"LastPort", REG_SZ, L"8", 4),
        ERROR_SUCCESS);
    Program ports(folder, "\"" + ProgramFolder() + "fieldprog-cli.exe\" ports --json", "ports");
    EXPECT_EQ(ports.Wait(), 0);
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\fieldprog");
    std::string expected = "{\"ports\":[";
    for (const int n : {1, 2, 3, 4, 8}) {
        const bool free = n == 3 || n == 8;
        const std::string device = "\\\\\\\\.\\\\COM" + std::to_string(n);
        expected += "{\"com\":" + std::to_string(n) + ",\"device\":\"" + device + "\",\"name\":\"" +
                    (free ? "Serial port" : "no device") + "\",\"usb_adaptor\":false,\"state\":\"" +
                    (free ? "free" : "not-serial") + "\",\"why\":\"" +
                    (free ? "" : device + " is not a serial device (Invalid handle)") +
                    "\",\"preselected\":" + (n == 8 ? "true" : "false") + "}" +
                    (n == 8 ? "]" : ",");
    }
    EXPECT_EQ(ports.Output(),
              expected + ",\"preselected\":8,\"reason\":\"remembered\",\"remembered\":8}\n");
}
