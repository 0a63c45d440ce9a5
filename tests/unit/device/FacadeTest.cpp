#include <functional>
#include <string>
#include <vector>

#include "DeviceFixture.h"
#include "ZelSerialComms.h"
#include "clsFPBuffers.h"
#include "clsFPDetails.h"
#include "clsFPMemory.h"
#include "clsFPMisc.h"

TEST_F(DeviceTest, EveryDeviceOperationIsSilentWhileNotConnected) {
    ASSERT_TRUE(fp_->OpenCommPort(1));
    std::string text = "ab";
    std::vector<std::string> block;
    clsFPDetails& d = fp_->Details();
    clsFPMemory& m = fp_->Memory();
    clsFPBuffers& b = fp_->Buffers();
    clsFPMisc& x = fp_->Misc();
    const std::vector<std::function<bool()>> operations = {
        [&] { return d.GetFPVersion(); }, [&] { return d.GetFPStatusRegister(); },
        [&] { return d.ReadProgramName(); }, [&] { return m.ReadFlashBankAddr(0, text); },
        [&] { return m.ReadAllFlashBankAddrs(); }, [&] { return m.ReadIndividualAddress(0, text); },
        [&] { return m.WriteIndividualAddress(0, text); }, [&] { return m.ReadBlockAddress(0, 2, block); },
        [&] { return m.ClearFlashMemory(); }, [&] { return m.ReWriteFlashMemory(); },
        [&] { return b.ReadInternalReceiveBuffer(); }, [&] { return b.ReadPrimaryFlashRAMBuffer(); },
        [&] { return b.ReadSecondaryFlashRAMBuffer(); }, [&] { return x.ExecuteInterpreter(); },
        [&] { return x.PowerdownFP(); }, [&] { return x.FlashFPLEDs(); },
    };
    for (std::size_t i = 0; i < operations.size(); ++i) {
        fp_->LastError().Number(111);  // a stale error the operation must clear
        EXPECT_FALSE(operations[i]()) << "operation " << i;
        EXPECT_EQ(ErrorNumber(), 0) << "operation " << i;
    }
    // The download keeps the error number: the link clears it when a transfer starts.
    fp_->LastError().Number(111);
    EXPECT_FALSE(m.DownloadBinaryData());
    EXPECT_EQ(ErrorNumber(), 111);
    EXPECT_EQ(port_->written, "");
    EXPECT_EQ(text, "ab");
}

TEST_F(DeviceTest, WaitForFieldProgrammerSetsAndClearsConnected) {
    ASSERT_TRUE(fp_->OpenCommPort(1));
    port_->Deliver("P", 100);
    EXPECT_TRUE(fp_->WaitForFieldProgrammer(50));
    EXPECT_TRUE(fp_->Context().gblnConnected);

    EXPECT_FALSE(fp_->WaitForFieldProgrammer(3));
    EXPECT_FALSE(fp_->Context().gblnConnected);
    EXPECT_EQ(errors_, std::vector<std::int32_t>{103});
}

TEST_F(DeviceTest, IsComPortFreeProbesByOpeningAndClosing) {
    EXPECT_TRUE(fp_->IsComPortFree(2));
    EXPECT_EQ(port_->openedPort, 2);
    EXPECT_FALSE(port_->IsOpen());
    EXPECT_TRUE(errors_.empty());

    port_->refuseOpen = true;
    EXPECT_FALSE(fp_->IsComPortFree(3));
    EXPECT_EQ(errors_, std::vector<std::int32_t>{101});
}

TEST_F(DeviceTest, LinkEventsBecomeFacadeEvents) {
    fp_->Serial().Progress(40);
    fp_->Serial().Error(144);
    EXPECT_EQ(fp_->LastError().Message(), "Download binary data command not recognised.");
    EXPECT_EQ(errors_, std::vector<std::int32_t>{144});

    fp_->Details().FlashPages("0400");
    fp_->Serial().ProgFlag("1FF", 3);  // 511 / 1023 * 100 = 49.95
    fp_->Details().FlashPages("0010");
    fp_->Serial().ProgFlag("7", 4);  // pages 0 to Fh: 7 / 15 * 100 = 46.7
    const std::vector<std::pair<std::int16_t, std::int32_t>> expected = {{40, 5}, {50, 3}, {47, 4}};
    EXPECT_EQ(progress_, expected);

    // Page numbers that give no percentage raise nothing.
    progress_.clear();
    const std::vector<std::pair<std::string, std::string>> faults = {
        {"", "0400"}, {"XYZ", "0400"}, {"1FF", ""}, {"1FF", "0001"}};
    for (const auto& [value, pages] : faults) {
        fp_->Details().FlashPages(pages);
        fp_->Serial().ProgFlag(value, 3);
    }
    EXPECT_TRUE(progress_.empty());
}
