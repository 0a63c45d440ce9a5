// The device command set over a real pseudo-terminal, against the emulated Field Programmer:
// the address mode, clear and rewrite, and what a refusing device makes of each command.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "EmuProcess.h"
#include "TestFiles.h"
#include "clsError.h"
#include "clsFPBuffers.h"
#include "clsFPDetails.h"
#include "clsFPMemory.h"
#include "clsFPMisc.h"
#include "clsFieldProgrammer.h"

namespace {

constexpr int kPages = 0x0008, kBankSize = 256;  // a 2 KiB flash: read back in a few seconds

// The emulator behind COM 3: the button only on request, running on after its device powers
// down. The host is connected to it.
class Line {
  public:
    explicit Line(std::vector<std::string> args) : emu_(With(std::move(args))) {
        if (!emu_.Port().empty()) com_ = std::make_unique<ScopedEnv>("FIELDPROG_COM3", emu_.Port());
    }
    bool Connect() { return fp.OpenCommPort(3) && Press(); }
    bool Press() {
        emu_.Press();
        return fp.WaitForFieldProgrammer(200);  // polling rounds: 10 s
    }
    clsFieldProgrammer fp;

  private:
    static std::vector<std::string> With(std::vector<std::string> args) {
        args.insert(args.end(), {"--press-after-ms", "-1", "--stay", "--pages", "0008"});
        return args;
    }
    EmuProcess emu_;
    std::unique_ptr<ScopedEnv> com_;
};

// A byte written and a block read in the device's address mode, a clear that asks "y/n" first
// and reports its pages in pieces, and a rewrite; downloads and read-backs run in the CLI's
// bench session.
TEST(DeviceCommands, AddressModeClearAndRewrite) {
    Line line({"--yn-prompt", "C", "--page-ms", "100"});
    ASSERT_TRUE(line.Connect());
    clsFieldProgrammer& fp = line.fp;
    std::vector<std::pair<std::int16_t, std::int32_t>> events;
    fp.Progress = [&](std::int16_t p, std::int32_t t) { events.emplace_back(p, t); };
    // The progress of one kind (2 block read, 3 clear, 4 rewrite), if it rose from 0 or more to
    // 100.
    const auto progress = [&](std::int32_t type) {
        std::vector<std::int16_t> seen;
        for (const auto& [percent, kind] : events) {
            if (kind == type) seen.push_back(percent);
        }
        const bool whole = !seen.empty() && seen.back() == 100 && seen.front() >= 0 &&
                           std::is_sorted(seen.begin(), seen.end());
        return whole ? seen : std::vector<std::int16_t>();
    };
    clsFPMemory& memory = fp.Memory();
    std::string value = "5a";
    ASSERT_TRUE(memory.WriteIndividualAddress(0x11, value));
    std::vector<std::string> block;
    ASSERT_TRUE(memory.ReadBlockAddress(0x10, 2, block));
    EXPECT_EQ(block, (std::vector<std::string>{"FF", "5A", "FF"}));
    EXPECT_FALSE(progress(2).empty());
    // Its status query finds the device out of its address mode again.
    ASSERT_TRUE(memory.ClearFlashMemory()) << fp.LastError().Number();
    EXPECT_GE(progress(3).size(), 2u) << "the page counter should arrive in several pieces";
    ASSERT_TRUE(memory.ReadIndividualAddress(0x11, value));
    EXPECT_EQ(value, "FF");
    ASSERT_TRUE(memory.ReWriteFlashMemory()) << fp.LastError().Number();
    EXPECT_FALSE(progress(4).empty());
}

// Each row runs on the same refusing device, one after another; the last one leaves the device
// in its address mode.
TEST(Refusals, EachCommandReportsItsOwnErrorNumber) {
    std::vector<std::string> args = {"--bad-write"};
    for (const char* command : {"K", "B", "G", "I", "Q", "L", "W"}) {
        args.insert(args.end(), {"--refuse", command});
    }
    Line line(args);
    ASSERT_TRUE(line.Connect());
    clsFieldProgrammer& fp = line.fp;
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
