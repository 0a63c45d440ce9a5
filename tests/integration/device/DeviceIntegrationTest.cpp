// The device command set over a real pseudo-terminal, against the emulated Field Programmer:
// the whole life of an image, what a refusing device makes of each command, a device whose
// replies travel with their echoes, and a port held by another program.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "EmuBench.h"
#include "Images.h"
#include "SerialPort.h"
#include "ZelSerialComms.h"
#include "clsError.h"
#include "clsFPBuffers.h"
#include "clsFPDetails.h"
#include "clsFPMemory.h"
#include "clsFPMisc.h"
#include "clsFieldProgrammer.h"

using namespace bench;

namespace {

constexpr int kPages = 0x0008;  // a 2 KiB flash of 256-byte banks: read back in a few seconds
constexpr int kBankSize = 256;

EmuOptions SmallFlash() {
    EmuOptions o = FastOptions();
    o.pages = kPages;
    o.bankSize = kBankSize;
    o.pageMs = 100;  // a clear or rewrite takes long enough to report its pages in pieces
    return o;
}

bool AllErased(Bytes::const_iterator from, Bytes::const_iterator to) {
    return std::all_of(from, to, [](std::uint8_t b) { return b == 0xFF; });
}

// File, single byte, clear, download, RAM buffers, read-back, file again, single bytes and a
// block, program name, rewrite and the one-word commands. The greeting's version reply must be
// taken with its echo, or the echo check of the next command would trip over it.
TEST(ImageLife, FileToDeviceAndBackIsByteForByteTheSame) {
    TempFolderScope tmp;
    EmuOptions options = SmallFlash();
    options.ynPrompt = "C";  // the clear asks "y/n" first
    EmuLine line(options);
    ASSERT_TRUE(line.Started()) << line.Error();
    clsFieldProgrammer fp;
    std::vector<std::pair<std::int16_t, std::int32_t>> events;
    fp.Progress = [&](std::int16_t p, std::int32_t t) { events.emplace_back(p, t); };
    // The progress of one kind (0 name search ... 6 end-of-data search).
    const auto of = [&](std::int32_t type) {
        std::vector<std::int16_t> seen;
        for (const auto& [percent, kind] : events) {
            if (kind == type) seen.push_back(percent);
        }
        return seen;
    };
    // Whether it rose in steps between 0 and 100 and ended at 100.
    const auto endedAtHundred = [&](std::int32_t type) {
        const std::vector<std::int16_t> seen = of(type);
        return !seen.empty() && seen.back() == 100 && seen.front() >= 0 &&
               std::is_sorted(seen.begin(), seen.end());
    };
    ASSERT_TRUE(Connect(fp, line));
    clsFPMemory& memory = fp.Memory();

    // The name sits in the last data bank, right behind the bytes 24h 26h. Without the bytes
    // 24h and 42h the digits "2426" cannot occur anywhere else, not even across two bytes.
    constexpr std::size_t kDataBytes = 1500;
    constexpr std::size_t kMarkerAt = 1300;
    const std::string name = "FPNAME-09";
    Bytes data = Noise(kDataBytes, 2024);
    std::replace_if(
        data.begin(), data.end(), [](std::uint8_t b) { return b == 0x24 || b == 0x42; }, 0x5A);
    data[kMarkerAt] = 0x24;
    data[kMarkerAt + 1] = 0x26;
    std::copy(name.begin(), name.end(), data.begin() + kMarkerAt + 2);
    data[0x10] = 0xA5;   // must survive the byte written below, which only a clear undoes
    data.back() = 0x5A;  // the read-back ends at the last byte that is not erased
    Bytes bin = binfile::Header(kDataBytes);
    bin.insert(bin.end(), data.begin(), data.end());
    WriteBytes(tmp / "FIRMWARE.BIN", Text(bin));

    std::string zero = "00";
    ASSERT_TRUE(memory.WriteIndividualAddress(0x10, zero));
    ASSERT_EQ(line.Emu().FlashBytes()[0x10], 0x00);
    ASSERT_TRUE(memory.LoadBinaryFile(tmp / "FIRMWARE.BIN"));
    ASSERT_TRUE(memory.ClearFlashMemory()) << fp.LastError().Number();
    EXPECT_TRUE(endedAtHundred(3));
    EXPECT_GE(of(3).size(), 2u) << "the page counter should arrive in several pieces";
    const Bytes erased = line.Emu().FlashBytes();
    EXPECT_TRUE(AllErased(erased.begin(), erased.end()));
    {
        ShortPauses pauses;
        ASSERT_TRUE(memory.DownloadBinaryData()) << fp.LastError().Number();
    }
    EXPECT_TRUE(endedAtHundred(5));
    ASSERT_TRUE(line.Emu().WaitDevicesClosed(1, kPatienceMs));
    const Bytes padded = Padded(bin);
    EXPECT_TRUE(line.LastDevice().image == padded);
    const Bytes flash = line.Emu().FlashBytes();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    EXPECT_TRUE(AllErased(flash.begin() + kDataBytes, flash.end()));

    // The RAM buffers hold the last block and the last two banks written, and a spare entry.
    ASSERT_TRUE(Press(fp, line));
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
    EXPECT_TRUE(endedAtHundred(6));
    EXPECT_TRUE(endedAtHundred(1));
    ASSERT_TRUE(memory.SaveBinaryFile(tmp / "SAVED.BIN"));
    EXPECT_EQ(ReadBytes(tmp / "SAVED.BIN"), Text(bin));

    std::string value;
    ASSERT_TRUE(memory.ReadIndividualAddress(0x10, value));
    EXPECT_EQ(value, "A5");
    std::vector<std::string> block;
    ASSERT_TRUE(memory.ReadBlockAddress(kDataBytes - 1, 2, block));
    EXPECT_EQ(block, (std::vector<std::string>{"5A", "FF", "FF"}));
    EXPECT_TRUE(endedAtHundred(2));

    // Its status query finds the device out of its address mode again.
    ASSERT_TRUE(fp.Details().ReadProgramName()) << fp.LastError().Number();
    EXPECT_EQ(fp.Details().ProgramName(), name);
    EXPECT_TRUE(endedAtHundred(0));
    EXPECT_EQ(tmp.Entries(), 2) << "the two .BIN files and nothing else";
    ASSERT_TRUE(memory.ReWriteFlashMemory()) << fp.LastError().Number();
    EXPECT_TRUE(endedAtHundred(4));

    EXPECT_TRUE(fp.Misc().FlashFPLEDs());
    EXPECT_TRUE(fp.Misc().ExecuteInterpreter());
    EXPECT_TRUE(fp.Misc().PowerdownFP());
    EXPECT_EQ(fp.LastError().Number(), 0);
    EXPECT_TRUE(line.Emu().WaitDevicesClosed(2, kPatienceMs)) << "the second .Q did not arrive";
}

// Each row runs on the same refusing device, one after another; the last one leaves the device
// in its address mode.
TEST(Refusals, EachCommandReportsItsOwnErrorNumber) {
    EmuOptions options = SmallFlash();
    options.refuse = "KBGIQLW";
    options.badWrite = true;
    EmuLine line(options);
    ASSERT_TRUE(line.Started()) << line.Error();
    clsFieldProgrammer fp;
    ASSERT_TRUE(Connect(fp, line));
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

// Replies that travel with their echoes are consumed with them: slow, but every command and
// the transfer still work.
TEST(PromptDevice, GreetingStatusAndTransferWork) {
    EmuOptions options = FastOptions();
    options.replyDelayMs = 0;
    EmuLine line(options);
    ASSERT_TRUE(line.Started()) << line.Error();
    clsFieldProgrammer fp;
    ASSERT_TRUE(Connect(fp, line));
    ASSERT_TRUE(fp.Details().GetFPStatusRegister()) << fp.LastError().Number();
    EXPECT_EQ(fp.Details().StatusRegister() + " " + fp.Details().FlashPages(), "01 0040");
    const Bytes image = BinImage(121);  // 129 bytes: two blocks
    fp.Memory().AllFlashBankData(image);
    ShortPauses pauses;
    ASSERT_TRUE(fp.Memory().DownloadBinaryData()) << fp.LastError().Number();
    ASSERT_TRUE(line.Emu().WaitDevicesClosed(1, kPatienceMs)) << "no .Q reached the device";
    EXPECT_EQ(line.LastDevice().Verdict(), "OK") << line.LastDevice().failure;
    EXPECT_TRUE(line.LastDevice().image == Padded(image));
}

// Neither another process nor a second open in this one gets a held port, and the façade's
// probe says so; once the holder lets go the probe finds it free, and leaves it so.
TEST(HeldPort, IsNotFreeToAnotherProcessOrObjectUntilReleased) {
    EmuLine line(FastOptions());
    ASSERT_TRUE(line.Started()) << line.Error();
    ZelSerialComms holder;
    ASSERT_TRUE(holder.OpenCommPort(kCom));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(MakeSystemSerialPort()->Open(kCom).Opened() ? 1 : 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process got the port";

    clsFieldProgrammer other;
    EXPECT_FALSE(other.IsComPortFree(kCom));
    EXPECT_EQ(other.LastError().Number(), 101);
    ASSERT_TRUE(holder.CloseCommPort());
    EXPECT_TRUE(other.IsComPortFree(kCom));
    EXPECT_TRUE(holder.OpenCommPort(kCom)) << "the probe left the port held";
}

}  // namespace
