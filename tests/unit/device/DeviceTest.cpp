// The device façade and its command groups against the scripted device in virtual time.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "BinFile.h"
#include "FakeDevice.h"
#include "TestFiles.h"
#include "ZelSerialComms.h"
#include "clsError.h"
#include "clsFPBuffers.h"
#include "clsFPDetails.h"
#include "clsFPMemory.h"
#include "clsFPMisc.h"
#include "clsFieldProgrammer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Texts = std::vector<std::string>;
using Events = std::vector<std::pair<std::int16_t, std::int32_t>>;

// A façade on a scripted port in virtual time, with every event it raises recorded.
class DeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clsTiming::InstallClock(clock_);
        fp_ = std::make_unique<clsFieldProgrammer>(line_.MakePort());
        fp_->Progress = [this](std::int16_t p, std::int32_t t) { progress_.emplace_back(p, t); };
        fp_->Error = [this] { errors_.push_back(fp_->LastError().Number()); };
    }
    void TearDown() override { clsTiming::InstallClock(nullptr); }
    // Opens the port and marks the device as answered, as a successful wait would.
    void Connect() {
        ASSERT_TRUE(fp_->OpenCommPort(1));
        fp_->Context().gblnConnected = true;
    }
    std::int32_t ErrorNumber() { return fp_->LastError().Number(); }

    std::shared_ptr<VirtualClock> clock_ = std::make_shared<VirtualClock>();
    FakeLine line_{clock_};
    std::unique_ptr<clsFieldProgrammer> fp_;
    FakeSerialPort*& port_ = line_.port;
    std::unique_ptr<FakeDevice>& device_ = line_.device;
    Events progress_;
    std::vector<std::int32_t> errors_;
};

TEST_F(DeviceTest, EveryDeviceOperationIsSilentUntilAButtonWaitConnects) {
    ASSERT_TRUE(fp_->OpenCommPort(1));
    std::string text = "ab";
    Texts block;
    clsFPDetails& d = fp_->Details();
    clsFPMemory& m = fp_->Memory();
    clsFPBuffers& b = fp_->Buffers();
    clsFPMisc& x = fp_->Misc();
    // clang-format off
    const std::function<bool()> operations[] = {
        [&] { return d.GetFPVersion(); }, [&] { return d.GetFPStatusRegister(); },
        [&] { return d.ReadProgramName(); }, [&] { return m.ReadFlashBankAddr(0, text); },
        [&] { return m.ReadAllFlashBankAddrs(); }, [&] { return m.ReadIndividualAddress(0, text); },
        [&] { return m.WriteIndividualAddress(0, text); },
        [&] { return m.ReadBlockAddress(0, 2, block); }, [&] { return m.ClearFlashMemory(); },
        [&] { return m.ReWriteFlashMemory(); }, [&] { return b.ReadInternalReceiveBuffer(); },
        [&] { return b.ReadPrimaryFlashRAMBuffer(); }, [&] { return b.ReadSecondaryFlashRAMBuffer(); },
        [&] { return x.ExecuteInterpreter(); }, [&] { return x.PowerdownFP(); },
        [&] { return x.FlashFPLEDs(); }};
    // clang-format on
    for (std::size_t i = 0; i < std::size(operations); ++i) {
        fp_->LastError().Number(111);  // a stale error the operation must clear
        EXPECT_FALSE(operations[i]()) << "operation " << i;
        EXPECT_EQ(ErrorNumber(), 0) << "operation " << i;
    }
    // The download keeps the error number: the link clears it when a transfer starts.
    fp_->LastError().Number(111);
    EXPECT_FALSE(m.DownloadBinaryData());
    EXPECT_EQ(ErrorNumber(), 111);
    // Every stale number set here was raised; clearing them raised nothing.
    EXPECT_EQ(errors_, std::vector<std::int32_t>(std::size(operations) + 1, 111));
    EXPECT_EQ(port_->written, "");
    EXPECT_EQ(text, "ab");
    // A wait that meets the button connects; one that does not disconnects again.
    port_->Deliver("P", 100);
    EXPECT_TRUE(fp_->WaitForFieldProgrammer(50));
    EXPECT_TRUE(fp_->Context().gblnConnected);
    EXPECT_FALSE(fp_->WaitForFieldProgrammer(3));
    EXPECT_FALSE(fp_->Context().gblnConnected);
    EXPECT_EQ(errors_.back(), 103);
}

TEST_F(DeviceTest, PageNumbersOfTheLinkBecomeProgress) {
    // Percent of FlashPages - 1 (511 / 1023 = 49.95, 7 / 15 = 46.7); the last four raise nothing.
    const std::tuple<std::string, std::string, std::int32_t> flags[] = {
        {"1FF", "0400", 3}, {"7", "0010", 4}, {"", "0400", 3},
        {"XYZ", "0400", 3}, {"1FF", "", 3},   {"1FF", "0001", 3}};
    for (const auto& [page, pages, type] : flags) {
        fp_->Details().FlashPages(pages);
        fp_->Serial().ProgFlag(page, type);
    }
    EXPECT_EQ(progress_, (Events{{50, 3}, {47, 4}}));
}

TEST_F(DeviceTest, VersionAndStatusTakeOnlyTheExpectedDigitCount) {
    Connect();
    clsFPDetails& d = fp_->Details();
    // The first .V and the device's .K "01 0400" are taken; other digit counts (04A0) keep them.
    for (const std::string row : {".V\r\nFP v123456-07.08/09\r\n", ".V\r\n12345 67 89 01\r\n",
                                  ".V\r\n1234567 89 01 23\r\n", ".K\r\n02 04A0\r\n"}) {
        device_->replies[row.substr(0, 2)] = row.substr(2);
        EXPECT_TRUE(d.GetFPVersion() && d.GetFPStatusRegister()) << row;
        EXPECT_EQ(d.SoftwareVersion() + d.SoftwareRevision() + d.SoftwareDevelopmentRev() + "|" +
                      d.SoftwareQualificationRev() + "|" + d.StatusRegister() + d.FlashPages(),
                  "1234560708|09|010400")
            << row;
    }
    device_->refuse = true;
    EXPECT_FALSE(d.GetFPVersion());
    EXPECT_EQ(ErrorNumber(), 104);
}

TEST_F(DeviceTest, ProgramNameFoundBehindMarkerEvenMidByte) {
    Connect();
    // Erased flash: no name, no error, and the search never reports completion.
    EXPECT_FALSE(fp_->Details().ReadProgramName());
    EXPECT_TRUE(errors_.empty());
    for (const auto& event : progress_) EXPECT_NE(event.first, 100);

    const std::string name = "PROG-0042";
    // The marker starts in the second digit of a byte: ... 12 42 6x ...
    std::string digits = "12426";
    for (const char c : name) digits += FakeDevice::Hex(static_cast<unsigned char>(c), 2);
    digits += "3";
    Bytes data(24, 0x11);  // the name ends up in bank 1 of 0 to 2
    for (std::size_t i = 0; i < digits.size(); i += 2)
        data.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    device_->Program(data);
    progress_.clear();
    ASSERT_TRUE(fp_->Details().ReadProgramName());
    EXPECT_EQ(fp_->Details().ProgramName(), name);
    EXPECT_EQ(progress_.front(), (Events::value_type{0, 0}));
    EXPECT_EQ(progress_.back(), (Events::value_type{100, 0}));
}

// The bounds, the wire format, the upper-cased value and block size 0 (the start byte alone).
TEST_F(DeviceTest, AddressesAreFixedWidthHexAndChecked) {
    Connect();
    clsFPMemory& m = fp_->Memory();
    std::string text = "unchanged", tooLong = "ABC";
    Texts block;
    const std::vector<bool> results = {
        m.ReadFlashBankAddr(65536, text),          m.ReadFlashBankAddr(-1, text),
        m.ReadIndividualAddress(0x1000000, text),  m.WriteIndividualAddress(-1, text),
        m.WriteIndividualAddress(0x1000, tooLong), m.ReadBlockAddress(0x1000000, 1, block)};
    EXPECT_EQ(results, std::vector<bool>(6, false));
    EXPECT_EQ(errors_, (std::vector<std::int32_t>{108, 108, 113, 116, 116, 122}));
    EXPECT_EQ(port_->written, "");
    EXPECT_EQ(text, "unchanged");

    device_->banks[0xFFFF] = "12 34 ";
    ASSERT_TRUE(m.ReadFlashBankAddr(0xFFFF, text));
    EXPECT_EQ(port_->written + "|" + text, ".DFFFF|12 34 ");
    std::string value = "ab";
    ASSERT_TRUE(m.WriteIndividualAddress(0x1000, value));
    EXPECT_EQ(port_->written.substr(6, 10) + "|" + value, ".R001000AB|AB");
    progress_.clear();
    port_->written.clear();
    ASSERT_TRUE(m.ReadBlockAddress(0x1000, 0, block));
    EXPECT_EQ(port_->written, ".R001000\r");
    EXPECT_EQ(block, Texts{"AB"});
    EXPECT_EQ(progress_, (Events{{0, 2}, {100, 2}}));

    device_->replies[".D0005"] = "no line feed\r\n";
    EXPECT_FALSE(m.ReadFlashBankAddr(5, text));
    EXPECT_EQ(ErrorNumber(), 110);
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
    Bytes expected(data.begin(), data.end() - 2);
    expected.insert(expected.begin(), {0, 0, 0, 0, 0, 0, 0, 38});
    EXPECT_EQ(m.AllFlashBankData(), expected);
    EXPECT_EQ(progress_.back(), (Events::value_type{100, 1}));

    // More data than the header's two length bytes count is refused; the image stays as it was.
    device_->bankBytes = 256;
    device_->Program(Bytes(0x10000, 0x5A));
    EXPECT_FALSE(m.ReadAllFlashBankAddrs());
    EXPECT_EQ(ErrorNumber(), 112);
    EXPECT_EQ(m.AllFlashBankData(), expected);
}

// What a load or a save carries is the sequence's and the CLI's test; here the edges.
TEST_F(DeviceTest, SaveTruncatesAndFileErrorsAreNumbered) {
    TempDir dir;
    clsFPMemory& m = fp_->Memory();
    m.AllFlashBankData({0, 0, 0, 0, 0, 0, 0, 3, 1, 0xFF, 0});
    ASSERT_TRUE(m.SaveBinaryFile(dir / "copy.bin"));
    m.AllFlashBankData({9});
    ASSERT_TRUE(m.SaveBinaryFile(dir / "copy.bin"));
    EXPECT_EQ(ReadBytes(dir / "copy.bin"), "\x09");
    EXPECT_FALSE(m.LoadBinaryFile(dir / "none.bin"));  // a save's error is the CLI test's
    EXPECT_EQ(ErrorNumber(), 146);
    EXPECT_EQ(m.AllFlashBankData(), Bytes{9});
}

TEST_F(DeviceTest, BufferDataAreSplitIntoBytesWithSpareEntryAndConversionsKeepBounds) {
    Connect();
    clsFPBuffers& b = fp_->Buffers();
    // Data ends in two line ends; bare digits go in pairs; after spaces the last is the spare.
    const std::tuple<std::string, std::string, Bytes> rows[] = {
        {".B", "0a1B2c", {0x0A, 0x1B, 0x2C, 0}},
        {".B", "0A1", {0x0A, 0x01, 0}},
        {".G2", "", {}},
        {".G2", "01 02 03", {1, 2, 0}},
        {".G2", "01 02 03 ", {1, 2, 3, 0}}};
    for (const auto& [command, data, expected] : rows) {
        device_->replies[command] = "\r\n" + data + "\r\n\r\n";
        const bool internal = command == ".B";
        ASSERT_TRUE(internal ? b.ReadInternalReceiveBuffer() : b.ReadSecondaryFlashRAMBuffer());
        EXPECT_EQ(internal ? b.InternalReceiveBuffer() : b.SecondaryFlashRAMBuffer(), expected)
            << command << " " << data;
    }
    // A reply without a line feed has no data: the buffer keeps what it had.
    device_->replies[".G2"] = "01 02\r\n";
    EXPECT_FALSE(b.ReadSecondaryFlashRAMBuffer());
    EXPECT_EQ(ErrorNumber(), 141);
    EXPECT_EQ(b.SecondaryFlashRAMBuffer(), (Bytes{1, 2, 3, 0}));

    clsFPMisc& m = fp_->Misc();
    EXPECT_EQ(m.ConvertByteArrayToStringArray({0x05, 0xAB, 0x00}), (Texts{"05", "AB", ""}));
    // A bad piece ends the conversion; what came before it stays.
    EXPECT_EQ(m.ConvertStringArrayToByteArray({"0A", "zz", "0B", ""}), (Bytes{0x0A, 0, 0, 0}));
    EXPECT_EQ(m.ConvertStringArrayToByteArray({"1FF", ""}), (Bytes{0, 0}));
    // The highest index is a 16-bit number: 32767 is the last that converts.
    EXPECT_EQ(m.ConvertByteArrayToStringArray(Bytes(32768, 1))[32766], "01");
    EXPECT_TRUE(m.ConvertStringArrayToByteArray(Texts(32769, "01")).empty());
}

}  // namespace

// The .BIN rule at its edge: a byte short is refused (padding would fill it), a byte over warns.
TEST(BinFile, HeaderCountAgainstTheBytesPresent) {
    const std::tuple<std::size_t, int, std::string> rows[] = {
        // count, bytes after the header, what the rule says
        {100, 99,
         "refused: the header counts 100 data bytes but only 99 follow it (truncated file?)"},
        {100, 100, "warning: "},
        {100, 101, "warning: 1 byte(s) follow the counted data; the device ignores them"},
        {0xFFFF, 0xFFFF, "warning: "},
        {0, 0, "refused: the header counts no data bytes"},
        {1, -1, "refused: too short for a flash image (7 bytes, the header alone takes 8)"},
    };
    for (const auto& [count, present, said] : rows) {
        Bytes bytes = binfile::Header(count);
        bytes.resize(static_cast<std::size_t>(8 + present), 0x5A);
        const std::string problem = binfile::Problem(bytes);
        EXPECT_EQ(problem.empty() ? "warning: " + binfile::Warning(bytes) : "refused: " + problem,
                  said);
    }
}
