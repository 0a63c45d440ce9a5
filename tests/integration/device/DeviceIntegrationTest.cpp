// What a refusing emulated device makes of each command, over a real pseudo-terminal.

#include <gtest/gtest.h>

#include <functional>
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

constexpr int kPages = 0x0008, kBankSize = 256;

// The rows run in turn on one device behind COM 3; the last leaves it in its address mode.
TEST(Refusals, EachCommandReportsItsOwnErrorNumber) {
    std::vector<std::string> args = {"--bad-write", "--press-after-ms", "-1",
                                     "--stay",      "--pages",          "0008"};
    for (const char* command : {"K", "B", "G", "I", "Q", "L", "W"})
        args.insert(args.end(), {"--refuse", command});
    EmuProcess emu(args);
    ASSERT_FALSE(emu.Port().empty());
    ScopedEnv com3("FIELDPROG_COM3", emu.Port());
    clsFieldProgrammer fp;
    ASSERT_TRUE(fp.OpenCommPort(3));
    emu.Press();
    ASSERT_TRUE(fp.WaitForFieldProgrammer(200));       // polling rounds: 10 s
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
