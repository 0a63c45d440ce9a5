#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "clsFPDetails.h"

TEST_F(DeviceTest, VersionAndStatusTakeOnlyTheExpectedDigitCount) {
    Connect();
    clsFPDetails& d = fp_->Details();
    device_->replies[".V"] = "\r\nFP v123456-07.08/09\r\n";
    ASSERT_TRUE(d.GetFPVersion());
    EXPECT_EQ(d.SoftwareVersion() + d.SoftwareRevision() + "|" + d.SoftwareDevelopmentRev() + "|" +
                  d.SoftwareQualificationRev(),
              "12345607|08|09");
    for (const char* reply : {"\r\n12345 67 89 01\r\n", "\r\n1234567 89 01 23\r\n"}) {
        device_->replies[".V"] = reply;
        EXPECT_TRUE(d.GetFPVersion()) << reply;
        EXPECT_EQ(d.SoftwareVersion() + d.SoftwareQualificationRev(), "12345609") << reply;
    }

    ASSERT_TRUE(d.GetFPStatusRegister());  // "01 0400"
    EXPECT_EQ(d.StatusRegister() + "|" + d.FlashPages(), "01|0400");
    device_->replies[".K"] = "\r\n02 04A0\r\n";  // a hex letter leaves five digits
    EXPECT_TRUE(d.GetFPStatusRegister());
    EXPECT_EQ(d.StatusRegister() + "|" + d.FlashPages(), "01|0400");

    device_->refuse = true;
    EXPECT_FALSE(d.GetFPVersion());
    EXPECT_EQ(ErrorNumber(), 104);
    EXPECT_FALSE(d.GetFPStatusRegister());
    EXPECT_EQ(ErrorNumber(), 106);
}

TEST_F(DeviceTest, ProgramNameFoundBehindMarkerEvenMidByte) {
    Connect();
    // Erased flash: no name, no error, and the search never reports completion.
    EXPECT_FALSE(fp_->Details().ReadProgramName());
    EXPECT_TRUE(errors_.empty());
    for (const auto& event : progress_) EXPECT_NE(event.first, 100);

    const std::string name = "PROG-0042";
    // The marker starts in the second digit of a byte: ... 12 42 6x ...
    std::string digits = "1" "2426";
    for (const char c : name) digits += FakeDevice::Hex(static_cast<unsigned char>(c), 2);
    digits += "3";
    std::vector<std::uint8_t> data(24, 0x11);  // the name ends up in bank 1 of 0 to 2
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        data.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    device_->Program(data);
    progress_.clear();
    ASSERT_TRUE(fp_->Details().ReadProgramName());
    EXPECT_EQ(fp_->Details().ProgramName(), name);
    EXPECT_EQ(progress_.front(), (std::pair<std::int16_t, std::int32_t>(0, 0)));
    EXPECT_EQ(progress_.back(), (std::pair<std::int16_t, std::int32_t>(100, 0)));
}
