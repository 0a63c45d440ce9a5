#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "clsFPBuffers.h"
#include "clsFPMisc.h"

using Bytes = std::vector<std::uint8_t>;
using Texts = std::vector<std::string>;

TEST_F(DeviceTest, BufferDataAreSplitIntoBytesWithSpareEntry) {
    Connect();
    clsFPBuffers& b = fp_->Buffers();
    // The link takes a line end off the exchange and another off the reply, so the device's
    // data line carries two; otherwise an empty data line would lose its line feed too.
    const std::vector<std::pair<std::string, Bytes>> receive = {
        {"0A1B2C", {0x0A, 0x1B, 0x2C, 0}}, {"0A1", {0x0A, 0x01, 0}}, {"", {}}};
    for (const auto& [data, expected] : receive) {
        device_->replies[".B"] = "\r\n" + data + "\r\n\r\n";
        ASSERT_TRUE(b.ReadInternalReceiveBuffer()) << data;
        EXPECT_EQ(b.InternalReceiveBuffer(), expected) << data;
    }
    // The value after the last space falls on the spare entry.
    const std::vector<std::pair<std::string, Bytes>> spaced = {
        {"", {}}, {"01 02 03", {1, 2, 0}}, {"01 02 03 ", {1, 2, 3, 0}}};
    for (const auto& [data, expected] : spaced) {
        device_->replies[".G2"] = "\r\n" + data + "\r\n\r\n";
        ASSERT_TRUE(b.ReadSecondaryFlashRAMBuffer()) << data;
        EXPECT_EQ(b.SecondaryFlashRAMBuffer(), expected) << data;
    }
    // A reply without a line feed has no data: the buffer keeps what it had.
    device_->replies[".G2"] = "01 02\r\n";
    EXPECT_FALSE(b.ReadSecondaryFlashRAMBuffer());
    EXPECT_EQ(ErrorNumber(), 141);
    EXPECT_EQ(b.SecondaryFlashRAMBuffer(), (Bytes{1, 2, 3, 0}));
}

TEST_F(DeviceTest, ConversionsKeepBoundsAndSkipTheSpareEntry) {
    clsFPMisc& m = fp_->Misc();
    EXPECT_EQ(m.ConvertByteArrayToStringArray({0x05, 0xAB, 0x00}), (Texts{"05", "AB", ""}));
    EXPECT_EQ(m.ConvertStringArrayToByteArray({"05", "ab", "7"}), (Bytes{0x05, 0xAB, 0}));
    // A bad piece ends the conversion; what came before it stays.
    EXPECT_EQ(m.ConvertStringArrayToByteArray({"0A", "zz", "0B", ""}), (Bytes{0x0A, 0, 0, 0}));
    EXPECT_EQ(m.ConvertStringArrayToByteArray({"1FF", ""}), (Bytes{0, 0}));
    // The highest index is a 16-bit number: 32767 is the last that converts.
    EXPECT_EQ(m.ConvertByteArrayToStringArray(Bytes(32768, 1))[32766], "01");
    EXPECT_TRUE(m.ConvertStringArrayToByteArray(Texts(32769, "01")).empty());
}
