// The device command set over a real pseudo-terminal, against the emulated Field Programmer:
// the whole life of an image, and what a refusing device makes of each command.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "EmuBench.h"
#include "Images.h"
#include "clsError.h"
#include "clsFPBuffers.h"
#include "clsFPDetails.h"
#include "clsFPMemory.h"
#include "clsFPMisc.h"
#include "clsFieldProgrammer.h"

namespace {

constexpr int kPages = 0x0008, kBankSize = 256;  // a 2 KiB flash: read back in a few seconds

// Clear, download, RAM buffers, read-back, a block of single bytes, program name, rewrite and
// the one-word commands. The greeting's version reply must be taken with its echo, or the
// echo check of the next command would trip over it.
TEST(ImageLife, ClearedProgrammedReadBackAndRewritten) {
    TempFolderScope tmp;
    EmuLine line([](EmuOptions& o) {
        o.ynPrompt = "C";  // the clear asks "y/n" first
        o.pageMs = 100;    // a clear or rewrite takes long enough to report its pages in pieces
    });
    ASSERT_TRUE(line.Started()) << line.Error();
    clsFieldProgrammer fp;
    std::vector<std::pair<std::int16_t, std::int32_t>> events;
    fp.Progress = [&](std::int16_t p, std::int32_t t) { events.emplace_back(p, t); };
    // The progress of one kind (0 name search ... 6 end-of-data search), if it rose from 0 or
    // more to 100.
    const auto progress = [&](std::int32_t type) {
        std::vector<std::int16_t> seen;
        for (const auto& [percent, kind] : events) {
            if (kind == type) seen.push_back(percent);
        }
        const bool whole = !seen.empty() && seen.back() == 100 && seen.front() >= 0 &&
                           std::is_sorted(seen.begin(), seen.end());
        return whole ? seen : std::vector<std::int16_t>();
    };
    ASSERT_TRUE(fp.OpenCommPort(kEmuCom) && line.Press(fp));
    clsFPMemory& memory = fp.Memory();

    // The name sits in the last data bank, right behind the bytes 24h 26h. Without the bytes
    // 24h and 42h the digits "2426" cannot occur anywhere else, not even across two bytes.
    constexpr std::size_t kDataBytes = 1500, kMarkerAt = 1300;
    const std::string name = "FPNAME-09";
    Bytes bin = BinImage(kDataBytes, 2024);
    std::replace_if(
        bin.begin() + 8, bin.end(), [](std::uint8_t b) { return b == 0x24 || b == 0x42; }, 0x5A);
    bin[8 + kMarkerAt] = 0x24;
    bin[8 + kMarkerAt + 1] = 0x26;
    std::copy(name.begin(), name.end(), bin.begin() + 8 + kMarkerAt + 2);
    memory.AllFlashBankData(bin);

    ASSERT_TRUE(memory.ClearFlashMemory()) << fp.LastError().Number();
    EXPECT_GE(progress(3).size(), 2u) << "the page counter should arrive in several pieces";
    {
        ShortPauses pauses;
        ASSERT_TRUE(memory.DownloadBinaryData()) << fp.LastError().Number();
    }
    EXPECT_FALSE(progress(5).empty());
    ASSERT_TRUE(line.Emu().WaitDevicesClosed(1, kPatienceMs));
    const Bytes padded = Padded(bin);
    EXPECT_TRUE(line.LastDevice().image == padded);
    const Bytes flash = line.Emu().FlashBytes();
    EXPECT_TRUE(std::equal(bin.begin() + 8, bin.end(), flash.begin()));

    // The RAM buffers hold the last block and the last two banks written, and a spare entry.
    ASSERT_TRUE(line.Press(fp));
    const auto withSpare = [](Bytes::const_iterator from, std::size_t count) {
        Bytes b(from, from + static_cast<std::ptrdiff_t>(count));
        b.push_back(0x00);
        return b;
    };
    clsFPBuffers& buffers = fp.Buffers();
    ASSERT_TRUE(buffers.ReadInternalReceiveBuffer());
    EXPECT_TRUE(buffers.InternalReceiveBuffer() == withSpare(padded.end() - 128, 128));
    ASSERT_TRUE(buffers.ReadPrimaryFlashRAMBuffer());
    EXPECT_TRUE(buffers.PrimaryFlashRAMBuffer() == withSpare(flash.begin() + 5 * kBankSize, 256));
    ASSERT_TRUE(buffers.ReadSecondaryFlashRAMBuffer());
    EXPECT_TRUE(buffers.SecondaryFlashRAMBuffer() == withSpare(flash.begin() + 4 * kBankSize, 256));

    memory.AllFlashBankData({});
    ASSERT_TRUE(memory.ReadAllFlashBankAddrs()) << fp.LastError().Number();
    EXPECT_TRUE(memory.AllFlashBankData() == bin) << memory.AllFlashBankData().size() << " bytes";
    EXPECT_FALSE(progress(6).empty() || progress(1).empty());
    std::vector<std::string> block;
    ASSERT_TRUE(memory.ReadBlockAddress(kDataBytes - 1, 2, block));
    EXPECT_EQ(block, (std::vector<std::string>{"5A", "FF", "FF"}));
    EXPECT_FALSE(progress(2).empty());

    // Its status query finds the device out of its address mode again.
    ASSERT_TRUE(fp.Details().ReadProgramName()) << fp.LastError().Number();
    EXPECT_EQ(fp.Details().ProgramName(), name);
    EXPECT_FALSE(progress(0).empty());
    ASSERT_TRUE(memory.ReWriteFlashMemory()) << fp.LastError().Number();
    EXPECT_FALSE(progress(4).empty());
    EXPECT_TRUE(fp.Misc().FlashFPLEDs() && fp.Misc().ExecuteInterpreter() &&
                fp.Misc().PowerdownFP());
    EXPECT_EQ(fp.LastError().Number(), 0);
    EXPECT_TRUE(line.Emu().WaitDevicesClosed(2, kPatienceMs)) << "the second .Q did not arrive";
    EXPECT_EQ(tmp.Entries(), 0) << "a transfer file was left";
}

// Each row runs on the same refusing device, one after another; the last one leaves the device
// in its address mode.
TEST(Refusals, EachCommandReportsItsOwnErrorNumber) {
    EmuLine line([](EmuOptions& o) {
        o.refuse = "KBGIQLW";
        o.badWrite = true;
    });
    ASSERT_TRUE(line.Started()) << line.Error();
    clsFieldProgrammer fp;
    ASSERT_TRUE(fp.OpenCommPort(kEmuCom) && line.Press(fp));
    constexpr std::int32_t kEnd = kPages * kBankSize;  // the first address past the flash
    std::string text, zero = "00", other = "12";
    std::vector<std::string> block;
    clsFPMemory& m = fp.Memory();

    const std::pair<std::int32_t, std::function<bool()>> rows[] = {
        {106, [&] { return fp.Details().GetFPStatusRegister(); }},
        {106, [&] { return m.ClearFlashMemory(); }},  // refused at its status query
        {127, [&] { return fp.Buffers().ReadInternalReceiveBuffer(); }},
        {137, [&] { return fp.Buffers().ReadPrimaryFlashRAMBuffer(); }},
        {140, [&] { return fp.Buffers().ReadSecondaryFlashRAMBuffer(); }},
        {134, [&] { return fp.Misc().ExecuteInterpreter(); }},
        {135, [&] { return fp.Misc().PowerdownFP(); }},
        {136, [&] { return fp.Misc().FlashFPLEDs(); }},
        // Addresses past the end of the flash are refused by the device itself.
        {109, [&] { return m.ReadFlashBankAddr(kPages, text); }},
        {114, [&] { return m.ReadIndividualAddress(kEnd, text); }},
        {117, [&] { return m.WriteIndividualAddress(kEnd, zero); }},
        {123, [&] { return m.ReadBlockAddress(kEnd, 1, block); }},
        {124, [&] { return m.ReadBlockAddress(kEnd - 1, 2, block); }},
        {119, [&] { return m.WriteIndividualAddress(0x10, other); }},
    };
    int raised = 0;
    fp.Error = [&] { ++raised; };
    for (const auto& [error, command] : rows) {
        raised = 0;
        EXPECT_FALSE(command()) << error;
        EXPECT_EQ(fp.LastError().Number(), error);
        EXPECT_EQ(raised, 1) << error;
    }
}

}  // namespace
