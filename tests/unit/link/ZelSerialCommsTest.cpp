// The echo dialogue, the waits and the block transfer of the link, against the scripted device
// in virtual time.

#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeDevice.h"
#include "Images.h"
#include "TestFiles.h"
#include "ZelSerialComms.h"

namespace {

using Command = std::function<bool(ZelSerialComms&)>;

Command Echoed(const std::string& command, std::int16_t loops, std::int16_t bytes) {
    return [=](ZelSerialComms& l) { return l.SendEchoedCommand(command, nullptr, loops, bytes); };
}

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clsTiming::InstallClock(clock = std::make_shared<VirtualClock>());
        auto fake = std::make_unique<FakeSerialPort>(clock);
        port = fake.get();
        device = std::make_unique<FakeDevice>(*port);
        link = std::make_unique<ZelSerialComms>(std::move(fake));
        ASSERT_TRUE(link->OpenCommPort(1));
        progress.clear();
        errors.clear();
        link->Progress = [this](std::int16_t v) {
            progress.push_back(v);
            if (v == 100 && throwAt100) throw std::runtime_error("handler");
        };
        // The temporary file must be gone before the owner hears of a failure.
        link->Error = [this](std::int32_t e) {
            errors.push_back(e);
            EXPECT_TRUE(e == 0 || tmp.Entries() == 0) << "error " << e;
        };
    }
    void TearDown() override {
        link.reset();
        EXPECT_EQ(tmp.Entries(), 0);
        clsTiming::InstallMessagePump(nullptr);
        clsTiming::InstallClock(nullptr);
    }
    // A new device and link, for tests that loop over cases.
    void Fresh() {
        TearDown();
        SetUp();
    }
    // Presses Quit (ManualExit) every time the message loop runs from virtual time `atMs` on.
    void QuitFrom(std::int64_t atMs) {
        auto inside = std::make_shared<bool>(false);
        clsTiming::InstallMessagePump([this, inside, atMs] {
            if (*inside || clock->NowMs() < atMs) return;
            *inside = true;
            link->ManualExit();
            *inside = false;
        });
    }

    TempFolderScope tmp;
    std::shared_ptr<VirtualClock> clock;
    FakeSerialPort* port = nullptr;
    std::unique_ptr<FakeDevice> device;
    std::unique_ptr<ZelSerialComms> link;
    bool throwAt100 = false;
    std::vector<std::int16_t> progress;
    std::vector<std::int32_t> errors;
};

TEST_F(LinkTest, EchoCheckStopsTheSendAtTheFirstBadCharacter) {
    const struct {
        int echoMs;
        bool refuse;
        std::string result, written;
    } rows[] = {{500, false, "AB", "AB"},  // the 11th read
                {550, false, "", "A"},     // would need a 12th
                {1, true, "", "A"}};
    for (const auto& r : rows) {
        Fresh();
        device->echoMs = r.echoMs;
        device->refuse = r.refuse;
        EXPECT_EQ(link->SendEchoedString("AB", 50, -1), r.result) << r.echoMs;
        EXPECT_EQ(port->written, r.written) << r.echoMs;
    }
}

TEST_F(LinkTest, CommandRepliesLineEndsAndPrompts) {
    // The reply begins with the last character of the echo.
    device->replyMs = 100;
    device->replies[".V"] = "1.23 FP\r\n";
    std::string reply;
    EXPECT_TRUE(link->SendEchoedCommand(".V", &reply, 50, -1));
    EXPECT_EQ(reply, "V1.23 FP");
    // A prompt that comes with the echo is answered with an echoed "Y".
    device->ynPrompt = 'E';
    device->replies[".E"] = "\r\n";
    EXPECT_TRUE(link->SendEchoedCommand(".E", &reply, 50, -1));
    EXPECT_EQ(port->written, ".V.EY");
    EXPECT_EQ(reply, "E y/n");
    // CR LF goes out as CR, a pause, LF.
    port->writes.clear();
    EXPECT_TRUE(link->SendEchoedCommand("AB\r\n"));
    ASSERT_EQ(port->writes.size(), 4u);
    EXPECT_EQ(port->writes[3].second, "\n");
    EXPECT_EQ(port->writes[3].first - port->writes[2].first, 50);
}

TEST_F(LinkTest, WaitForDataLineEndsByteCountsAndItsBound) {
    const struct {
        std::string sent;
        std::int64_t atMs;
        int bytes;
        bool met;
    } rows[] = {
        {"abc\r\n", 0, -1, true},  {"abc\n", 0, -1, false},  // LF alone is no line end
        {"abc\r", 0, -1, false},   {"abcd", 0, 4, true},
        {"abc", 0, 4, false},      {"\r\n", 2550, -1, true},  // 51st read, 50 ms apart
        {"\r\n", 2551, -1, false},
    };
    for (const auto& r : rows) {
        Fresh();
        port->Deliver(r.sent, r.atMs);
        std::string got;
        EXPECT_EQ(link->WaitForData(got, 50, r.bytes), r.met) << r.sent << " at " << r.atMs;
    }
}

TEST_F(LinkTest, ButtonPressIsGreetedAndProgressPiecesRaiseProgFlag) {
    // The first "." is answered wrongly; the "P" still stands, so "." goes out again.
    port->OnWrite = [n = 0](FakeSerialPort& p, const std::string& w) mutable {
        p.Deliver(w == "." && n++ == 0 ? "?" : w);
    };
    port->Deliver("P", 300);
    EXPECT_TRUE(link->WaitForFieldProgrammer(50));
    EXPECT_EQ(port->written, "...V");

    // Only pieces with backspaces raise the flag, with their last four visible characters.
    port->OnWrite = [](FakeSerialPort& p, const std::string& w) {
        p.Deliver(w);
        if (w != "C") return;
        p.Deliver("12345\b\b\b\b\b", 100);
        p.Deliver("done", 300);
        p.Deliver("OK\r\n", 500);
    };
    std::vector<std::pair<std::string, std::int32_t>> flags;
    link->ProgFlag = [&](const std::string& v, std::int32_t t) { flags.emplace_back(v, t); };
    EXPECT_TRUE(link->SendProgEchoedCommand(".C", nullptr, 50, 3));
    EXPECT_EQ(flags, (std::vector<std::pair<std::string, std::int32_t>>{{"2345", 3}}));
}

// However late the device answers the greeting's ".V", its reply is read to its end before the
// next command; and a reply read just after its first line end is not taken for an empty one.
TEST_F(LinkTest, EveryReplyStaysWithItsCommandWhateverItsTiming) {
    for (const int lateMs : {5, 30, 80, 200, 400}) {
        Fresh();
        device->replyMs = lateMs;
        port->Deliver("P", 100);
        ASSERT_TRUE(link->WaitForFieldProgrammer(50));
        EXPECT_EQ(link->GreetingReply(), "123456 07 08 09") << lateMs;
        std::string reply;
        EXPECT_TRUE(link->SendEchoedCommand(".K", &reply, 50, -1)) << lateMs;
        EXPECT_EQ(reply, "K\r\n01 0400") << lateMs;
    }
    device->replies.erase(".K");
    port->OnWrite = [device = port->OnWrite](FakeSerialPort& p, const std::string& w) {
        device(p, w);
        if (w != "K") return;
        p.Deliver("\r\n", 90);  // the host's first reply read comes 100 ms after the "K"
        p.Deliver("01 0400\r\n", 105);
    };
    std::string reply;
    EXPECT_TRUE(link->SendEchoedCommand(".K", &reply, 50, -1));
    EXPECT_EQ(reply, "K\r\n01 0400");
}

TEST_F(LinkTest, WaitsEndWhenTheDeviceFallsSilentOvershootsOrQuitIsPressed) {
    const Command prog = [](ZelSerialComms& l) {
        return l.SendProgEchoedCommand(".C", nullptr, 3, 3);
    };
    const Command data = [](ZelSerialComms& l) {
        std::string s;
        return l.WaitForData(s, 0, -1);
    };
    const Command button = [](ZelSerialComms& l) { return l.WaitForFieldProgrammer(0); };
    const struct {
        Command command;
        std::string reply;  // to ".R"
        bool ok;
        std::int64_t quitAtMs;     // 0: only as a last resort
        bool vanished;             // the port fails before the call: give up at once
        std::int64_t flashMs = 0;  // a flash command outlasts silence this long, no longer
    } rows[] = {{Echoed(".V", 3, -1), "", false, 0, false},
                {prog, "", false, 0, false, 30000},
                {Echoed(".R", 3, 2), "12345", false, 0, false},
                {Echoed(".R", 3, 2), "123", true, 0, false},
                // No limit of their own, so only Quit ends them, in the round it comes in.
                {Echoed(".V", 0, -1), "", false, 100000, false},
                {data, "", false, 100000, false},
                {button, "", false, 100000, false},
                {Echoed(".V", 50, -1), "", false, 0, true},
                {data, "", false, 0, true},
                {button, "", false, 0, true}};
    for (std::size_t k = 0; k < std::size(rows); ++k) {
        const auto& r = rows[k];
        Fresh();
        QuitFrom(r.quitAtMs ? r.quitAtMs : 3600000);
        device->replies = {{".R", r.reply}};  // ".V" and ".C" are echoed and never answered
        device->silentAfter = ".C";
        device->replyMs = 100;
        device->echoMs = 0;  // a zero loop count also means no pause before the echo read
        if (r.vanished) port->Vanish();
        EXPECT_EQ(r.command(*link), r.ok) << k;
        EXPECT_GE(clock->NowMs(), r.quitAtMs) << k;
        EXPECT_GE(clock->NowMs(), r.flashMs) << k;
        EXPECT_LE(clock->NowMs(), r.vanished   ? 50
                                  : r.quitAtMs ? r.quitAtMs + 50
                                               : std::max<std::int64_t>(r.flashMs + 1000, 10000))
            << k;
        if (r.vanished) continue;
        // A Quit that was used must not cut the next wait short.
        clsTiming::InstallMessagePump(nullptr);
        port->Deliver("ok\r\n", 200);
        std::string got;
        EXPECT_TRUE(link->WaitForData(got, 10, -1)) << k;
    }
}

// --- Binary transfer -----------------------------------------------------------------------

// The device checks every block's number (past 255 it wraps to 0), complement and CRC.
TEST_F(LinkTest, TransferSendsPaddedBlocksAndProgressFollowsTheAcknowledgedOnes) {
    const std::pair<std::size_t, std::vector<std::int16_t>> rows[] = {
        {0, {0}},
        {3 * 128, {0, 33, 67, 100}},
        {8 * 128 - 5, {0, 12, 25, 38, 50, 62, 75, 88, 100}},
        {256 * 128 + 1, {}}};  // 257 blocks, the last one carrying one byte
    for (const auto& [bytes, seen] : rows) {
        Fresh();
        const Bytes image = Noise(bytes);
        EXPECT_TRUE(link->DownloadBinaryData(image)) << bytes;
        EXPECT_EQ(device->blocks, static_cast<int>((bytes + 127) / 128));
        EXPECT_EQ(device->badBlocks, 0);
        EXPECT_TRUE(device->received == Text(Padded(image))) << bytes;
        if (!seen.empty()) {
            EXPECT_EQ(progress, seen) << bytes;
        }
        EXPECT_EQ(progress.size(), static_cast<std::size_t>(device->blocks) + 1);
        EXPECT_EQ(port->written.substr(port->written.size() - 3), "\x04.Q");
        EXPECT_EQ(errors, std::vector<std::int32_t>{0});
        EXPECT_EQ(port->rThresholds, (std::vector<int>{1, 0, 1}));
    }
}

// The ACK wait wakes on every byte, but stray bytes must not use up its time limit. The block
// count is a 16-bit number: an image of 32768 blocks is too long to count. No file is written,
// so a missing temporary folder changes nothing.
TEST_F(LinkTest, ReceiverFaultsRaiseTheirErrorAndLeaveNoFile) {
    enum Fault {
        NoC,
        Nak,
        WriteFails,
        Vanishes,
        GoneAtEot,
        Throws,
        NoTempDir,
        Chatter,
        LongChatter,
        Long
    };
    const struct {
        Fault fault;
        std::int32_t error;  // 0: the transfer succeeds
        int blocks;
    } rows[] = {{NoC, 144, 0},         {Nak, 143, 1},     {WriteFails, 145, 0}, {Vanishes, 145, 1},
                {GoneAtEot, 145, 2},   {Throws, 145, 2},  {NoTempDir, 0, 2},    {Chatter, 0, 2},
                {LongChatter, 143, 1}, {Long, 145, 32768}};
    for (const auto& r : rows) {
        Fresh();
        device->neverC = r.fault == NoC;
        device->nakAtBlock = r.fault == Nak ? 1 : 0;
        device->writesFailAfterC = r.fault == WriteFails;
        device->vanishAtBlock = r.fault == Vanishes ? 1 : 0;
        device->strayBytes = r.fault == Chatter || r.fault == LongChatter;
        device->ackMs = r.fault == Chatter ? 2550 : r.fault == LongChatter ? 2600 : 10;
        throwAt100 = r.fault == Throws;
        if (r.fault == GoneAtEot) {  // the adaptor is pulled as the last block is acknowledged
            port->OnWrite = [device = port->OnWrite](FakeSerialPort& p, const std::string& w) {
                if (w == "\x04") p.Vanish();
                device(p, w);
            };
        }
        ScopedEnv missing(kTempVariable, r.fault == NoTempDir ? tmp / "missing" : tmp.Path());
        const Bytes image = Noise(r.fault == Long ? 32768 * 128 : 2 * 128);
        EXPECT_EQ(link->DownloadBinaryData(image), r.error == 0) << r.fault;
        std::vector<std::int32_t> raised{0};
        if (r.error != 0) raised.push_back(r.error);
        EXPECT_EQ(errors, raised) << r.fault;
        EXPECT_EQ(device->blocks, r.blocks) << r.fault;
        // The image goes from memory: no temporary folder is needed, the blocks are the same.
        EXPECT_TRUE(r.error != 0 || device->received == Text(Padded(image))) << r.fault;
        EXPECT_EQ(port->rThresholds.back(), 1) << r.fault;
    }
}

}  // namespace
