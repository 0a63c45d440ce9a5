// The device command set over a real pseudo-terminal, against the emulated Field Programmer:
// the whole life of an image (file, clear, download, read-back, file again, program name),
// single bytes and blocks, the RAM buffers, and what a refusing device makes of each command.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "EmuBench.h"
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
constexpr std::int32_t kFlashBytes = kPages * kBankSize;

EmuOptions SmallFlash() {
    EmuOptions o = FastOptions();
    o.pages = kPages;
    o.bankSize = kBankSize;
    return o;
}

// A façade on the emulator, connected, with every progress event kept.
struct Connected {
    explicit Connected(EmuLine& line) {
        fp.Progress = [this](std::int16_t p, std::int32_t t) { events.emplace_back(p, t); };
        ok = fp.OpenCommPort(kCom) && Press(line);
    }
    // A download ends with ".Q", which powers the device down: it needs the button again.
    bool Press(EmuLine& line) {
        line.Emu().RequestPress();
        return fp.WaitForFieldProgrammer(kPressLoops);
    }
    std::vector<std::int16_t> Progress(std::int32_t type) const {
        std::vector<std::int16_t> out;
        for (const auto& e : events)
            if (e.second == type) out.push_back(e.first);
        return out;
    }

    clsFieldProgrammer fp;
    std::vector<std::pair<std::int16_t, std::int32_t>> events;
    bool ok = false;
};

// A .BIN image: six zero bytes, the data count high byte first, then the data.
Bytes BinFile(const Bytes& data) {
    Bytes bin(6, 0x00);
    bin.push_back(static_cast<std::uint8_t>(data.size() >> 8));
    bin.push_back(static_cast<std::uint8_t>(data.size() & 0xFF));
    bin.insert(bin.end(), data.begin(), data.end());
    return bin;
}

// Firmware-like data in which the digits "2426" cannot occur by chance, on or across byte
// boundaries (that needs a byte 24h or 42h), so the one placed name marker is the only one.
Bytes DataWithoutMarker(std::size_t count, std::uint32_t seed) {
    Bytes data = Noise(count, seed);
    for (auto& b : data)
        if (b == 0x24 || b == 0x42) b = 0x5A;
    return data;
}

void ExpectEndsAtHundred(const std::vector<std::int16_t>& progress, const char* what) {
    ASSERT_FALSE(progress.empty()) << what;
    EXPECT_EQ(progress.back(), 100) << what;
    EXPECT_TRUE(std::all_of(progress.begin(), progress.end(),
                            [](std::int16_t p) { return p >= 0 && p <= 100; }))
        << what;
}

TEST(ImageLife, FileToDeviceAndBackIsByteForByteTheSame) {
    PrivateTempDir tmp;
    EmuLine line(SmallFlash());
    ASSERT_TRUE(line.Started()) << line.Error();
    Connected c(line);
    ASSERT_TRUE(c.ok);
    clsFPMemory& memory = c.fp.Memory();

    // The name sits in the last data bank, right behind the bytes 24h 26h.
    constexpr std::size_t kDataBytes = 1500;
    constexpr std::size_t kMarkerAt = 1300;
    const std::string name = "FPNAME-09";
    Bytes data = DataWithoutMarker(kDataBytes, 2024);
    data[kMarkerAt] = 0x24;
    data[kMarkerAt + 1] = 0x26;
    std::copy(name.begin(), name.end(), data.begin() + kMarkerAt + 2);
    data[0x10] = 0xA5;      // must survive the byte written below, which only a clear undoes
    data.back() = 0x5A;     // the read-back ends at the last byte that is not erased
    const Bytes bin = BinFile(data);
    const std::string binPath = tmp / "FIRMWARE.BIN";
    WriteFile(binPath, bin);

    std::string zero = "00";
    ASSERT_TRUE(memory.WriteIndividualAddress(0x10, zero));
    ASSERT_EQ(line.Emu().FlashBytes()[0x10], 0x00);

    ASSERT_TRUE(memory.LoadBinaryFile(binPath));
    ASSERT_TRUE(memory.ClearFlashMemory()) << c.fp.LastError().Number();
    ExpectEndsAtHundred(c.Progress(3), "clear");
    const Bytes erased = line.Emu().FlashBytes();
    EXPECT_TRUE(std::all_of(erased.begin(), erased.end(), [](std::uint8_t b) { return b == 0xFF; }));

    {
        ShortPauses pauses;
        ASSERT_TRUE(memory.DownloadBinaryData()) << c.fp.LastError().Number();
    }
    ExpectEndsAtHundred(c.Progress(5), "download");
    ASSERT_TRUE(line.Emu().WaitDevicesClosed(1, kPatienceMs));
    EXPECT_TRUE(line.LastDevice().image == Padded(memory.AllFlashBankData()));
    const Bytes flash = line.Emu().FlashBytes();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    EXPECT_TRUE(std::all_of(flash.begin() + kDataBytes, flash.end(), [](std::uint8_t b) { return b == 0xFF; }));

    ASSERT_TRUE(c.Press(line));
    memory.AllFlashBankData({});
    ASSERT_TRUE(memory.ReadAllFlashBankAddrs()) << c.fp.LastError().Number();
    EXPECT_TRUE(memory.AllFlashBankData() == bin) << memory.AllFlashBankData().size() << " bytes";
    ExpectEndsAtHundred(c.Progress(6), "end-of-data search");
    ExpectEndsAtHundred(c.Progress(1), "read-back");

    const std::string savedPath = tmp / "SAVED.BIN";
    ASSERT_TRUE(memory.SaveBinaryFile(savedPath));
    EXPECT_TRUE(ReadFile(savedPath) == bin);

    ASSERT_TRUE(c.fp.Details().ReadProgramName()) << c.fp.LastError().Number();
    EXPECT_EQ(c.fp.Details().ProgramName(), name);
    ExpectEndsAtHundred(c.Progress(0), "name search");
    EXPECT_TRUE(tmp.TransferFiles().empty());
}

TEST(SingleBytes, WrittenReadBackSinglyAndAsABlock) {
    EmuLine line(SmallFlash());
    ASSERT_TRUE(line.Started()) << line.Error();
    Connected c(line);
    ASSERT_TRUE(c.ok);
    clsFPMemory& memory = c.fp.Memory();

    std::string first = "a5";
    ASSERT_TRUE(memory.WriteIndividualAddress(0x123, first));
    EXPECT_EQ(first, "A5");
    std::string second = "3C";
    ASSERT_TRUE(memory.WriteIndividualAddress(0x124, second));
    const Bytes flash = line.Emu().FlashBytes();
    EXPECT_EQ(flash[0x123], 0xA5);
    EXPECT_EQ(flash[0x124], 0x3C);

    std::string value;
    ASSERT_TRUE(memory.ReadIndividualAddress(0x123, value));
    EXPECT_EQ(value, "A5");

    std::vector<std::string> block;
    ASSERT_TRUE(memory.ReadBlockAddress(0x122, 3, block));
    EXPECT_EQ(block, (std::vector<std::string>{"FF", "A5", "3C", "FF"}));
    const auto progress = c.Progress(2);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress.back(), 100);

    // Every one of these left the device's address mode: it takes commands again.
    EXPECT_TRUE(c.fp.Details().GetFPStatusRegister());
    EXPECT_EQ(c.fp.Details().FlashPages(), "0008");
}

TEST(Buffers, HoldTheLastBlockAndBanksOfADownload) {
    PrivateTempDir tmp;
    EmuLine line(SmallFlash());
    ASSERT_TRUE(line.Started()) << line.Error();
    Connected c(line);
    ASSERT_TRUE(c.ok);
    const Bytes bin = BinFile(Noise(600, 7));  // data in banks 0 to 2
    c.fp.Memory().AllFlashBankData(bin);
    {
        ShortPauses pauses;
        ASSERT_TRUE(c.fp.Memory().DownloadBinaryData());
    }
    ASSERT_TRUE(c.Press(line));
    const Bytes flash = line.Emu().FlashBytes();
    const auto withSpare = [](Bytes b) {
        b.push_back(0x00);
        return b;
    };
    const auto bank = [&](int n) {
        return Bytes(flash.begin() + n * kBankSize, flash.begin() + (n + 1) * kBankSize);
    };
    const Bytes padded = Padded(bin);

    clsFPBuffers& buffers = c.fp.Buffers();
    ASSERT_TRUE(buffers.ReadInternalReceiveBuffer());
    EXPECT_TRUE(buffers.InternalReceiveBuffer() == withSpare(Bytes(padded.end() - 128, padded.end())));
    ASSERT_TRUE(buffers.ReadPrimaryFlashRAMBuffer());
    EXPECT_TRUE(buffers.PrimaryFlashRAMBuffer() == withSpare(bank(2)));
    ASSERT_TRUE(buffers.ReadSecondaryFlashRAMBuffer());
    EXPECT_TRUE(buffers.SecondaryFlashRAMBuffer() == withSpare(bank(1)));

    clsFPMisc& misc = c.fp.Misc();
    EXPECT_TRUE(misc.FlashFPLEDs());
    EXPECT_TRUE(misc.ExecuteInterpreter());
    EXPECT_TRUE(misc.PowerdownFP());
    EXPECT_EQ(c.fp.LastError().Number(), 0);
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
    Connected c(line);
    ASSERT_TRUE(c.ok);
    clsFieldProgrammer& fp = c.fp;
    std::string text;
    std::vector<std::string> block;

    const std::vector<std::pair<std::int32_t, std::function<bool()>>> rows = {
        {106, [&] { return fp.Details().GetFPStatusRegister(); }},
        {106, [&] { return fp.Memory().ClearFlashMemory(); }},  // refused at its status query
        {127, [&] { return fp.Buffers().ReadInternalReceiveBuffer(); }},
        {137, [&] { return fp.Buffers().ReadPrimaryFlashRAMBuffer(); }},
        {140, [&] { return fp.Buffers().ReadSecondaryFlashRAMBuffer(); }},
        {134, [&] { return fp.Misc().ExecuteInterpreter(); }},
        {135, [&] { return fp.Misc().PowerdownFP(); }},
        {136, [&] { return fp.Misc().FlashFPLEDs(); }},
        // Addresses past the end of the flash are refused by the device itself.
        {109, [&] { return fp.Memory().ReadFlashBankAddr(kPages, text); }},
        {114, [&] { return fp.Memory().ReadIndividualAddress(kFlashBytes, text); }},
        {117, [&] { text = "00"; return fp.Memory().WriteIndividualAddress(kFlashBytes, text); }},
        {123, [&] { return fp.Memory().ReadBlockAddress(kFlashBytes, 1, block); }},
        {124, [&] { return fp.Memory().ReadBlockAddress(kFlashBytes - 1, 2, block); }},
        {119, [&] { text = "12"; return fp.Memory().WriteIndividualAddress(0x10, text); }},
    };
    int raised = 0;
    fp.Error = [&] { ++raised; };
    for (std::size_t k = 0; k < rows.size(); ++k) {
        SCOPED_TRACE("row " + std::to_string(k) + ", error " + std::to_string(rows[k].first));
        raised = 0;
        EXPECT_FALSE(rows[k].second());
        EXPECT_EQ(fp.LastError().Number(), rows[k].first);
        EXPECT_EQ(raised, 1);
    }
}

}  // namespace
