// The Win32 serial port against the real emulator, which Wine shows as COM 2: greeting,
// version, and a download whose image the emulator checks block by block and compares.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WineHost.h"
#include "ZelSerialComms.h"

namespace {

using namespace winehost;

constexpr int kCom = 2;
constexpr std::int16_t kPressLoops = 200;  // polling rounds allowed for the button (10 s)

TEST(Win32Serial, GreetsAsksTheVersionAndDownloadsAnImageTheDeviceChecks) {
    if (!Emulator::Available())
        GTEST_SKIP() << "needs Wine and FIELDPROG_EMU (scripts/test-windows)";
    Folder folder;
    std::string image;
    for (int k = 0; k < 300; ++k) image.push_back(static_cast<char>(k * 37 % 251));
    ASSERT_TRUE(FileSystem::WriteWholeFile(folder / "image.bin", image));
    Emulator emulator(folder, kCom,
                      "--expect '" + folder.Host("image.bin") +
                          "' --devices 1 --press-after-ms 1000 --fw-version '654321 01 02 03'");
    ASSERT_TRUE(emulator.Started());

    ZelSerialComms link(MakeSystemSerialPort());
    ASSERT_TRUE(link.OpenCommPort(kCom));
    ASSERT_TRUE(link.WaitForFieldProgrammer(kPressLoops));
    std::string version;
    ASSERT_TRUE(link.SendEchoedCommand(".V", &version, 50, -1));
    EXPECT_NE(version.find("654321 01 02 03"), std::string::npos) << version;
    EXPECT_TRUE(link.DownloadBinaryData(std::vector<std::uint8_t>(image.begin(), image.end())));
    EXPECT_TRUE(link.CloseCommPort());
    const std::string output = emulator.Await("DONE");
    EXPECT_TRUE(Has(output, "DEVICE 1 EXPECT MATCH")) << output;
}

}  // namespace
