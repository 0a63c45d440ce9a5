// The emulated Field Programmer in virtual time: answers, address mode, block checks, records.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ClsCRC.h"
#include "EmuDevice.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Args = std::vector<std::string>;
constexpr EmuMicros kMs = kMicrosPerMs;

// The host's end; an unpaced, prompt device of 16 banks of 64 bytes, pressed only on request.
struct Host {
    explicit Host(Args args) {
        Args all = {"--baud",           "0",  "--page-ms", "0",  "--reply-delay-ms", "0",
                    "--press-after-ms", "-1", "--pages",   "10", "--bank-size",      "64"};
        all.insert(all.end(), args.begin(), args.end());
        std::string error;
        EXPECT_TRUE(ParseEmuOptions(all, options, error)) << error;
        device = std::make_unique<EmuDevice>(options, 0);
    }
    std::string Send(const std::string& bytes, int ms = 500) {
        for (const char c : bytes) device->Receive(static_cast<std::uint8_t>(c), now);
        const EmuMicros end = now + ms * kMs;
        for (int guard = 0; guard < 100000 && device->NextDeadline() <= end; ++guard)
            device->Tick(now = std::max(now, device->NextDeadline()));
        now = end;
        std::string out;
        timeline.clear();
        for (const EmuOutput& p : device->TakeOutput()) {
            out += p.bytes;  // and "bytes@ms"
            timeline += p.bytes + "@" + std::to_string(p.notBefore / kMs) + " ";
        }
        return out;
    }
    const EmuDeviceRecord& Last() const { return device->Records().back(); }

    EmuOptions options;
    std::unique_ptr<EmuDevice> device;
    EmuMicros now = 0;
    std::string timeline;
};

std::string Hex(const Bytes& bytes, const std::string& separator) {
    std::string out;
    for (const std::uint8_t b : bytes) out += EmuHex(b, 2) + separator;
    return out;
}

const std::string kErasedBank = "\r\n" + Hex(Bytes(64, 0xFF), " ") + "\r\n";

// --refuse, --no-echo, --wrong-echo and --fw-version are the integration tests'.
TEST(EmuCommands, AnswerExactlyUnderTheFaultSwitches) {
    // Input, its echo and answer exactly (and nothing for 10 s after them), the switches.
    const std::tuple<const char*, std::string, Args> rows[] = {
        {".K", ".K\r\n03 0010\r\n", {"--status", "03"}},
        {".D000F.G2", ".D000F" + kErasedBank + ".G2" + kErasedBank, {}},
        {"\r\nx", "\r\n?", {}},  // an empty line; a lone LF is ignored, anything else refused
        {".Z.D0G.G3.D0010.R000400", ".?.D0?.G?.D001?.R00040?", {}},  // last two: past the end
        {".D0.I", ".D0.I\r\n", {}},  // a new command replaces an unfinished one
        {".Kn", ".Ky/nn\r\n", {"--yn-prompt", "K"}},
        {".K.I", ".Ky/n.I\r\n", {"--yn-prompt", "K"}},
        {".R000000\r", ".R000000\r\nFF\r\n\r\nFF\r\n", {"--yn-prompt", "all"}},
    };
    for (const auto& [input, expected, args] : rows)
        EXPECT_EQ(Host(args).Send(input, 10000), expected) << input;
}

// A "y/n" prompt goes out with the echo, page counters after the reply delay.
TEST(EmuCommands, RepliesFollowTheEchoAfterTheDelay) {
    Host host({"--reply-delay-ms", "80", "--yn-prompt", "W", "--pages", "2", "--page-ms", "30"});
    host.Send(".W");
    EXPECT_EQ(host.timeline, ".@0 Wy/n@0 ");
    host.Send("Y");
    EXPECT_EQ(host.timeline, "Y@500 0000\b\b\b\b@580 0001\b\b\b\b\r\n@610 ");
}

// "P" each second until greeted (never y/n); ".Q" powers down; unplugged and back, counts go on.
TEST(EmuButton, PressGreetPowerDownUnplugAndPlugIn) {
    Host host({"--reply-delay-ms", "80", "--press-after-ms", "300", "--devices", "2", "--yn-prompt",
               "V"});
    std::vector<int> closed;
    host.device->DeviceClosed = [&closed](EmuDeviceRecord& r) { closed.push_back(r.number); };
    EXPECT_EQ(host.Send("", 300), "P");
    EXPECT_EQ(host.Send(".", 1000), ".P");  // a stalled greeting starts afresh
    EXPECT_EQ(host.Send("V"), "?");
    host.Send(".V", 5000);
    EXPECT_EQ(host.timeline, ".@1800 V@1800 \r\n123456 07 08 09\r\n@1880 ");
    EXPECT_EQ(host.Send(".V"), ".Vy/n");
    EXPECT_EQ(host.Send(".Q", 999), ".Q\r\n");
    EXPECT_EQ(closed, std::vector<int>{1});
    EXPECT_TRUE(host.Last().poweredDown);
    EXPECT_EQ(host.Send("", 1), "P");  // the next device

    EXPECT_EQ(host.Send(".X", 1500), ".XCC");  // and no "P" while the transfer runs
    host.device->Tick(host.now + 1000 * kMs);  // the next "C", lost with the line
    host.device->Unplug();
    EXPECT_EQ(host.Last().failure, "transfer not finished");
    EXPECT_EQ(host.Send("", 5000), "");
    host.device->Plug(host.now);
    EXPECT_EQ(host.Send("", 300), "P");
    EXPECT_EQ(host.Send(".V.Q", 10000), ".V\r\n123456 07 08 09\r\n.Q\r\n");
    EXPECT_TRUE(host.device->Finished());
    EXPECT_EQ(closed, (std::vector<int>{1, 2, 3}));
}

// Address mode: read, write (value CR CR), step (two spaces); a late display is replaced by typing.
TEST(EmuAddressMode, ReadWriteStepAndLeave) {
    Host host({"--reply-delay-ms", "80"});
    EXPECT_EQ(host.Send(".R000020AB"), ".R000020AB AB");
    EXPECT_EQ(host.Send("\r\r"), "\r\nAB\r\n\r\n");
    EXPECT_EQ(host.Send(".R00001F"), ".R00001F\r\nFF\r\n");
    EXPECT_EQ(host.Send("    \n\r"), "  AB  FF\r\nFF\r\n");
    // Flash only clears bits: 0F over AB reads back 0B, and the host sees it differ.
    EXPECT_EQ(host.Send(".R0000200F\r"), ".R0000200F 0B\r\n0B\r\n");
    EXPECT_EQ(host.Send(".R0003FF  .I"), ".R0003FF ?.I\r\n");
    EXPECT_EQ(host.Send(".R000000X.R000000.I"), ".R000000?.R000000.I\r\n");
    Host bad({"--bad-write", "--wrong-echo", "R"});
    EXPECT_EQ(bad.Send(".R0000000F"), ".#######\r\nFF\r\n## FF");
}

std::string Block(int number, const Bytes& data128, int complement, int crcXor = 0) {
    const auto crc = static_cast<std::uint16_t>(ClsCRC().CRC16(data128) ^ crcXor);
    return std::string{'\x01', static_cast<char>(number), static_cast<char>(complement)} +
           std::string(data128.begin(), data128.end()) + static_cast<char>(crc >> 8) +
           static_cast<char>(crc & 0xFF);
}

// A .BIN of 208 bytes (200 counted) in two padded blocks; the second sound, spoilt or cut off.
TEST(EmuTransfer, ChecksEveryBlockAndKeepsTheRecord) {
    Bytes bin(8, 0);
    bin[7] = 200;
    for (int i = 0; i < 200; ++i) bin.push_back(static_cast<std::uint8_t>(0x30 + i % 64));
    Bytes padded = bin;
    padded.resize(256, 0);
    const Bytes first(padded.begin(), padded.begin() + 128);
    const Bytes data(padded.begin() + 128, padded.end());
    // Second block: number, complement, CRC change, length sent; switches; answer; record.
    const std::tuple<const char*, int, int, int, std::size_t, Args, const char*, const char*>
        rows[] = {
            {"sound", 2, 253, 0, 133, {}, "\x06", "2 0 OK"},
            {"repeat, dropped", 1, 254, 0, 133, {}, "\x06", "1 0 OK"},
            {"CRC", 2, 253, 1, 133, {}, "\x15", "1 1 FAIL"},
            {"complement", 2, 0, 0, 133, {}, "\x15", "1 1 FAIL"},
            {"sequence", 3, 252, 0, 133, {}, "\x15", "1 1 FAIL"},
            {"stalled", 2, 253, 0, 100, {}, "\x15", "1 1 FAIL"},  // refused after a second
            {"line closed", 2, 253, 0, 133, {"--close-at", "2"}, "", "1 0 FAIL"},
        };
    for (const auto& [name, number, complement, crcXor, length, args, answer, record] : rows) {
        SCOPED_TRACE(name);
        Host host(args);
        EXPECT_EQ(host.Send(".X"), ".XC");
        EXPECT_EQ(host.Send(Block(1, first, 254)), "\x06");
        const std::string second = Block(number, data, complement, crcXor);
        EXPECT_EQ(host.Send(second.substr(0, length), 1500), answer);
        EXPECT_EQ(host.Last().Verdict(), "FAIL");  // not finished yet
        const bool closed = host.options.closeAt != 0;
        EXPECT_EQ(host.device->LineCloseRequested(), closed);
        EXPECT_EQ(host.Send("\x04"), closed ? "" : "\x04");

        const EmuDeviceRecord& r = host.Last();
        const bool whole = record[0] == '2';
        EXPECT_EQ(
            std::to_string(r.goodBlocks) + " " + std::to_string(r.badBlocks) + " " + r.Verdict(),
            record);
        EXPECT_EQ(r.image, whole ? padded : first);
        EXPECT_EQ(r.failure.empty(), r.Verdict() == "OK") << r.failure;
        EXPECT_EQ(r.CompareWith(bin), whole ? "MATCH" : "MISMATCH AT 128");
        // The header's count, capped by what arrived; nothing of a flawed image.
        EXPECT_EQ(r.flashDataBytes, whole ? 200u : r.Verdict() == "OK" ? 120u : 0u);
    }
    EmuDeviceRecord zeros;  // the host pads at most one block (and a spare byte) with zeros
    zeros.image.resize(300);
    EXPECT_EQ(zeros.CompareWith(Bytes(100)), "MISMATCH AT 228");
}

TEST(EmuTransfer, ASoundImageReachesFlashTheBuffersAndTheResultLine) {
    Bytes image(8, 0);
    image[7] = 120;  // data up to address 0x77: banks 0 and 1
    for (int i = 0; i < 120; ++i) image.push_back(static_cast<std::uint8_t>(i * 7));
    Host host({});
    host.Send(".X" + Block(1, image, 254) + "\x04");
    // Flash holds the data (and nothing after it); the RAM buffers its last two banks.
    const std::string flash =
        Hex(Bytes(image.begin() + 8, image.end()), " ") + Hex(Bytes(8, 0xFF), " ");
    const std::string bank0 = flash.substr(0, 192), bank1 = flash.substr(192);
    EXPECT_EQ(host.Send(".G2.G1.D0001.B"), ".G2\r\n" + bank0 + "\r\n.G1\r\n" + bank1 +
                                               "\r\n.D0001\r\n" + bank1 + "\r\n.B\r\n" +
                                               Hex(image, "") + "\r\n");
    EXPECT_EQ(EmuDeviceLine(host.Last()), "DEVICE 1 RECEIVED 128 BYTES CRC 0x0107 BLOCKS 1 OK");
    host.Send(".C");
    EXPECT_EQ(host.device->Flash().Read(0), 0xFF);  // a clear erases what was programmed
    host.Send(".Q");                                // the device needs 5 s from EOT to ".Q"
    EXPECT_EQ(host.Last().failure, "\".Q\" 1500 ms after EOT, the device needs 5000");
}

// "C" soon after the echo, then each second; ten without a block end it (--never-c: silently).
TEST(EmuTransfer, RepeatsCThenGivesUp) {
    for (const bool neverC : {false, true}) {
        Host host(neverC ? Args{"--never-c"} : Args{});
        EXPECT_EQ(host.Send(".X", 10149), neverC ? ".X" : ".XCCCCCCCCCC");
        EXPECT_EQ(host.timeline.substr(0, 14), neverC ? ".@0 X@0 " : ".@0 X@0 C@150 ");
        EXPECT_EQ(host.Last().failure, "");
        EXPECT_EQ(host.Send("", 1), "");
        EXPECT_EQ(host.Send(".I"), ".I\r\n");
        EXPECT_EQ(host.Last().failure, "no block after .X");
    }
}

TEST(EmuOptions, RejectsBadValues) {
    // clang-format off
    const Args bad[] = {{"--pages", "04G0"}, {"--pages", "0"}, {"--refuse=Z"}, {"--status", "1"},
                        {"--bank-size", "4096", "--pages", "FFFF"}, {"--baud"}, {"--nak-at", "0"},
                        {"--unplug-ms", "-1"}, {"--bogus"}};
    // clang-format on
    for (const Args& args : bad) {
        EmuOptions o;
        std::string error;
        EXPECT_FALSE(ParseEmuOptions(args, o, error)) << args[0];
        EXPECT_NE(error.find(args[0].substr(0, 7)), std::string::npos) << error;
    }
}

}  // namespace
