#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "clsFPMemory.h"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

TEST_F(DeviceTest, BankAndByteAddressesAreFixedWidthHexAndChecked) {
    Connect();
    clsFPMemory& m = fp_->Memory();
    std::string text = "unchanged";
    std::vector<std::string> block;
    const std::vector<bool> results = {
        m.ReadFlashBankAddr(65536, text), m.ReadFlashBankAddr(-1, text),
        m.ReadIndividualAddress(0x1000000, text), m.WriteIndividualAddress(-1, text),
        m.ReadBlockAddress(0x1000000, 1, block)};
    EXPECT_EQ(results, std::vector<bool>(5, false));
    EXPECT_EQ(errors_, (std::vector<std::int32_t>{108, 108, 113, 116, 122}));
    EXPECT_EQ(port_->written, "");
    EXPECT_EQ(text, "unchanged");

    device_->banks[0xFFFF] = "12 34 ";
    ASSERT_TRUE(m.ReadFlashBankAddr(0xFFFF, text));
    EXPECT_EQ(text, "12 34 ");
    ASSERT_TRUE(m.ReadFlashBankAddr(0, text));
    EXPECT_EQ(port_->written, ".DFFFF.D0000");

    port_->written.clear();
    device_->memory[0x1A2B] = 0x5C;
    ASSERT_TRUE(m.ReadIndividualAddress(0x1A2B, text));
    EXPECT_EQ(text, "5C");
    EXPECT_EQ(port_->written.substr(0, 9), ".R001A2B\r");

    device_->replies[".D0005"] = "no line feed\r\n";
    EXPECT_FALSE(m.ReadFlashBankAddr(5, text));
    EXPECT_EQ(ErrorNumber(), 110);
    device_->refuse = true;
    EXPECT_FALSE(m.ReadFlashBankAddr(5, text));
    EXPECT_EQ(ErrorNumber(), 109);
}

TEST_F(DeviceTest, WriteIndividualAddressUpperCasesAndChecksReadBack) {
    Connect();
    clsFPMemory& m = fp_->Memory();
    std::string value = "ab";
    ASSERT_TRUE(m.WriteIndividualAddress(0x1000, value));
    EXPECT_EQ(value, "AB");
    EXPECT_EQ(port_->written.substr(0, 10), ".R001000AB");
    EXPECT_EQ(device_->memory[0x1000], 0xAB);

    port_->written.clear();
    std::string tooLong = "ABC";
    EXPECT_FALSE(m.WriteIndividualAddress(0x1000, tooLong));
    EXPECT_EQ(ErrorNumber(), 116);
    EXPECT_EQ(port_->written, "");

    device_->stuckValue = 0x7F;
    EXPECT_FALSE(m.WriteIndividualAddress(0x1000, value));
    EXPECT_EQ(ErrorNumber(), 119);
}

TEST_F(DeviceTest, ReadBlockAddressReturnsStartByteAndTheOnesAfter) {
    Connect();
    clsFPMemory& m = fp_->Memory();
    const Bytes bytes = {0x12, 0x34, 0x56, 0x78};
    for (std::size_t i = 0; i < bytes.size(); ++i) device_->memory[0x1000 + static_cast<long>(i)] = bytes[i];
    std::vector<std::string> block;
    ASSERT_TRUE(m.ReadBlockAddress(0x1000, 3, block));
    EXPECT_EQ(block, (std::vector<std::string>{"12", "34", "56", "78"}));

    progress_.clear();
    port_->written.clear();
    ASSERT_TRUE(m.ReadBlockAddress(0x1000, 0, block));
    EXPECT_EQ(block, std::vector<std::string>{"12"});
    EXPECT_EQ(port_->written, ".R001000\r");
    const std::vector<std::pair<std::int16_t, std::int32_t>> ends = {{0, 2}, {100, 2}};
    EXPECT_EQ(progress_, ends);
}

TEST_F(DeviceTest, ReadBackBuildsHeaderAndStopsAtLastProgrammedByte) {
    Connect();
    clsFPMemory& m = fp_->Memory();
    ASSERT_TRUE(m.ReadAllFlashBankAddrs());  // erased flash: the header alone, N = 0
    EXPECT_EQ(m.AllFlashBankData(), Bytes(8, 0));

    // 40 bytes over three banks, ending in 12 FF FF: N counts up to the 12h.
    Bytes data;
    for (int i = 0; i < 37; ++i) data.push_back(static_cast<std::uint8_t>(i));
    data.insert(data.end(), {0x12, 0xFF, 0xFF});
    device_->Program(data);
    ASSERT_TRUE(m.ReadAllFlashBankAddrs());
    Bytes expected = {0, 0, 0, 0, 0, 0, 0, 38};
    expected.insert(expected.end(), data.begin(), data.end() - 2);
    EXPECT_EQ(m.AllFlashBankData(), expected);
    EXPECT_EQ(progress_.back(), (std::pair<std::int16_t, std::int32_t>(100, 1)));

    device_->refuse = true;  // a failed bank read leaves the image as it was
    EXPECT_FALSE(m.ReadAllFlashBankAddrs());
    EXPECT_EQ(m.AllFlashBankData(), expected);
}

TEST_F(DeviceTest, ReadBackLongerThanTheHeaderCanSayFails) {
    Connect();
    device_->bankBytes = 256;
    device_->Program(Bytes(0x10000, 0x5A));
    EXPECT_FALSE(fp_->Memory().ReadAllFlashBankAddrs());
    EXPECT_EQ(ErrorNumber(), 112);
    EXPECT_TRUE(fp_->Memory().AllFlashBankData().empty());
}

TEST_F(DeviceTest, LoadAndSaveKeepTheFileExactly) {
    std::string pattern = (fs::temp_directory_path() / "fpdevXXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const auto contents = [](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const fs::path original = dir / "image.bin";
    std::ofstream(original, std::ios::binary) << std::string("\0\0\0\0\0\0\0\3\1\xFF\0", 11);
    clsFPMemory& m = fp_->Memory();
    ASSERT_TRUE(m.LoadBinaryFile(original.string()));
    EXPECT_EQ(m.AllFlashBankData().size(), 11u);

    // Into a folder that exists but holds nothing yet, then a shorter image over it.
    fs::create_directory(dir / "empty");
    const fs::path copy = dir / "empty" / "copy.bin";
    ASSERT_TRUE(m.SaveBinaryFile(copy.string()));
    EXPECT_EQ(contents(copy), contents(original));
    m.AllFlashBankData({9});
    ASSERT_TRUE(m.SaveBinaryFile(copy.string()));
    EXPECT_EQ(contents(copy), "\x09");

    EXPECT_FALSE(m.LoadBinaryFile((dir / "none.bin").string()));
    EXPECT_EQ(ErrorNumber(), 146);
    EXPECT_FALSE(m.SaveBinaryFile((dir / "none" / "x.bin").string()));
    EXPECT_EQ(ErrorNumber(), 147);
    EXPECT_EQ(m.AllFlashBankData(), Bytes{9});
    fs::remove_all(dir);
}
