// The link's echo dialogue, waits and block transfer against the scripted device, virtual time.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "FakeDevice.h"
#include "Images.h"
#include "PortProbe.h"
#include "TestFiles.h"
#include "ZelSerialComms.h"

namespace {

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clsTiming::InstallClock(clock);
        link = std::make_unique<ZelSerialComms>(line.MakePort());  // a fresh port and device
        ASSERT_TRUE(link->OpenCommPort(1));
        progress.clear();
        errors.clear();
        link->Progress = [this](std::int16_t v) {
            progress.push_back(v);
            if (v == 100 && throwAt100) throw std::runtime_error("handler");
        };
        link->Error = [this](std::int32_t e) { errors.push_back(e); };
    }
    void TearDown() override {
        link.reset();
        EXPECT_EQ(tmp.Entries(), 0);
        clsTiming::InstallClock(nullptr);
    }
    void Fresh() { TearDown(), SetUp(); }  // a new port, device and link
    TempFolderScope tmp;
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    FakeLine line{clock};
    FakeSerialPort*& port = line.port;
    std::unique_ptr<FakeDevice>& device = line.device;
    std::unique_ptr<ZelSerialComms> link;
    bool throwAt100 = false;
    std::vector<std::int16_t> progress;
    std::vector<std::int32_t> errors;
};

// An echo 500 ms late comes on the 11th read; 550 ms would need a 12th. Wrong echo: FaultMatrix.
TEST_F(LinkTest, EchoesRepliesLineEndsAndProgressPieces) {
    for (const int echoMs : {500, 550}) {
        Fresh();
        device->echoMs = echoMs;
        EXPECT_EQ(link->SendEchoedString("AB", 50, -1), echoMs == 500 ? "AB" : "") << echoMs;
        EXPECT_EQ(port->written, echoMs == 500 ? "AB" : "A") << echoMs;
    }
    Fresh();
    // The reply begins with the last character of the echo.
    device->replyMs = 100;
    device->replies[".V"] = "1.23 FP\r\n";
    std::string reply;
    EXPECT_TRUE(link->SendEchoedCommand(".V", &reply, 50, -1));
    EXPECT_EQ(reply, "V1.23 FP");
    // CR LF goes out as CR, a pause, LF.
    port->writes.clear();
    EXPECT_TRUE(link->SendEchoedCommand("AB\r\n"));
    ASSERT_EQ(port->writes.size(), 4u);
    EXPECT_EQ(port->writes[3].second, "\n");
    EXPECT_EQ(port->writes[3].first - port->writes[2].first, 50);
    // With a byte count asked for, a longer reply fails the command.
    for (const char* r : {"123", "12345"}) {
        device->replies[".R"] = r;
        EXPECT_EQ(link->SendEchoedCommand(".R", &reply, 3, 2), r[3] == '\0') << r;
    }
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

TEST_F(LinkTest, WaitForDataLineEndsByteCountsAndItsBound) {
    // What arrives and when, the byte count asked for (-1: up to a line end), the wait's result.
    const std::tuple<std::string, std::int64_t, int, bool> rows[] = {
        {"abc\r\n", 0, -1, true},  {"abc\n", 0, -1, false},  // LF alone is no line end
        {"abc\r", 0, -1, false},   {"abcd", 0, 4, true},
        {"abc", 0, 4, false},      {"\r\n", 2550, -1, true},  // 51st read, 50 ms apart
        {"\r\n", 2551, -1, false},
    };
    for (const auto& [sent, atMs, bytes, met] : rows) {
        Fresh();
        port->Deliver(sent, atMs);
        std::string got;
        EXPECT_EQ(link->WaitForData(got, 50, bytes), met) << sent << " at " << atMs;
    }
}

// Only a "P" that ends what arrived is a press, not one inside noise or an old reply.
TEST_F(LinkTest, TheButtonWaitGreetsOnlyAFinalP) {
    const std::pair<const char*, bool> rows[] = {
        {"P", true}, {"\r\nxP", true}, {"P\r\n", false}, {"PV1.0", false}};
    for (const auto& [sent, greeted] : rows) {
        Fresh();
        port->Deliver(sent, 100);
        EXPECT_EQ(link->WaitForFieldProgrammer(5), greeted) << sent;
        EXPECT_EQ(port->written, greeted ? "..V" : "") << sent;
    }
}

// Block numbers wrap past 255 to 0; images of every size are the simulation's (invariant (a)).
TEST_F(LinkTest, TransferSendsPaddedBlocksAndProgressFollowsTheAcknowledgedOnes) {
    const std::pair<std::size_t, std::vector<std::int16_t>> rows[] = {
        {0, {0}},
        {8 * 128 - 5, {0, 12, 25, 38, 50, 62, 75, 88, 100}},
        {256 * 128 + 1, {}}};  // 257 blocks, the last one carrying one byte
    for (const auto& [bytes, seen] : rows) {
        Fresh();
        const Bytes image = Noise(bytes);
        EXPECT_TRUE(link->DownloadBinaryData(image)) << bytes;
        EXPECT_EQ(device->blocks, static_cast<int>((bytes + 127) / 128));
        EXPECT_EQ(device->badBlocks, 0);
        EXPECT_TRUE(device->received == Text(Padded(image))) << bytes;
        EXPECT_TRUE(seen.empty() || progress == seen) << bytes;
        EXPECT_EQ(progress.size(), static_cast<std::size_t>(device->blocks) + 1);
        // The device needs 5 s between EOT and ".Q"; how soon after is the simulation's bound.
        EXPECT_EQ(port->written.substr(port->written.size() - 3), "\x04.Q");
        EXPECT_GE((port->writes.end() - 2)->first - (port->writes.end() - 3)->first, 5000);
        EXPECT_EQ(errors, std::vector<std::int32_t>{0});
        EXPECT_EQ(port->rThresholds, (std::vector<int>{1, 0, 1}));
    }
}

// What a device may say to EOT and ".Q" leaves it programmed; "?", "C" for "Q" or no ".Q" do not.
TEST_F(LinkTest, OnlyAWrongAnswerToQuitOrNoQuitAtAllFailsTheEnd) {
    enum Quit { Echo, SilentDot, SilentQ, HangUp, CForQ, GoneAtEot };
    const std::tuple<std::string, Quit, bool> rows[] = {
        {"\x04", Echo, true},      {"\x06", Echo, true},       {"", Echo, true},
        {"\x04", SilentDot, true}, {"", SilentQ, true},        {"\x06", HangUp, true},
        {"\x04", CForQ, false},    {"\x06", GoneAtEot, false}, {"?", Echo, false}};
    for (const auto& [eot, quit, programmed] : rows) {
        Fresh();
        device->eotAnswer = eot;
        port->OnWrite = [q = quit, take = port->OnWrite, ended = false](
                            FakeSerialPort& p, const std::string& w) mutable {
            ended = ended || w == "\x04";
            if (ended && ((w == "." && q == SilentDot) || (w == "Q" && q == SilentQ))) return;
            if (w == "Q" && q == HangUp) return p.Vanish();
            if (w == "Q" && q == CForQ) return p.Deliver("C", 1);
            take(p, w);
            if (w == "\x04" && q == GoneAtEot) p.Vanish();
        };
        EXPECT_EQ(link->DownloadBinaryData(Noise(300)), programmed) << quit;
        const std::vector<std::int32_t> raised{0, 145};
        EXPECT_EQ(errors, programmed ? std::vector<std::int32_t>{0} : raised) << quit;
        const std::string afterEot = port->written.substr(port->written.rfind('\x04') + 1);
        EXPECT_EQ(afterEot, quit == SilentDot ? "." : quit == GoneAtEot ? "" : ".Q") << quit;
    }
}

// Stray bytes do not use up the ACK wait; 32768 blocks are too many; no temporary folder is needed.
TEST_F(LinkTest, ReceiverFaultsRaiseTheirErrorAndLeaveNoFile) {
    enum Fault { Throws, NoTempDir, Chatter, LongChatter, Long };
    // Per fault: the error raised (0: the transfer succeeds) and the blocks the device took.
    const std::pair<std::int32_t, int> expected[] = {
        {145, 2}, {0, 2}, {0, 2}, {143, 1}, {145, 32768}};
    for (const Fault f : {Throws, NoTempDir, Chatter, LongChatter, Long}) {
        Fresh();
        const auto [error, blocks] = expected[f];
        device->strayBytes = f == Chatter || f == LongChatter;
        device->ackMs = f == Chatter ? 2550 : f == LongChatter ? 2600 : 10;
        throwAt100 = f == Throws;
        ScopedEnv missing(kTempVariable, f == NoTempDir ? tmp / "missing" : tmp.Path());
        const Bytes image = Noise(f == Long ? 32768 * 128 : 2 * 128);
        EXPECT_EQ(link->DownloadBinaryData(image), error == 0) << f;
        std::vector<std::int32_t> raised{0};
        if (error != 0) raised.push_back(error);
        EXPECT_EQ(errors, raised) << f;
        EXPECT_EQ(device->blocks, blocks) << f;
        EXPECT_TRUE(error != 0 || device->received == Text(Padded(image))) << f;
        EXPECT_EQ(port->rThresholds.back(), 1) << f;
    }
}

// At start-up a hanging open (a Bluetooth port, partner away) holds no other up; closed later.
TEST(PortProbe, AHangingOpenIsNotAnsweringAndIsClosedWhenItEnds) {
    const auto hang = std::make_shared<HangingOpen>();
    int made = 0;
    const std::vector<PortOpenResult> said = ProbePorts(
        {1, 2, 3},
        [&] {
            auto port = std::make_unique<FakeSerialPort>(std::make_shared<VirtualClock>());
            if (++made == 2) port->hang = hang;
            return port;
        },
        900);
    EXPECT_EQ(said.at(1).status, PortOpenStatus::NotAnswering);
    EXPECT_TRUE(said[0].Opened() && said[2].Opened());
    hang->Release();
    EXPECT_TRUE(hang->Await([&] { return hang->discarded == 1; })) << "the late open was left open";
}

// Shut down right after the first open (fieldprog-cli ports): the new worker finds itself, stops.
TEST(PortOpenServiceTest, ShutdownRightAfterTheFirstOpenJoinsTheNewWorker) {
    for (int k = 0; k < 200; ++k) {
        PortOpenService service;
        service.Start("/dev/x", OpenCall{[] { return OpenedHandle{}; }, nullptr, nullptr});
        service.Shutdown();
        EXPECT_EQ(service.Workers(), 0);
    }
}

// A port whose open hangs (a Bluetooth port whose partner is away), as the link meets it.
class HangingOpenTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        link->CloseCommPort();
        port->hang = hang;
    }
    void TearDown() override {
        hang->Release();
        LinkTest::TearDown();
        clsTiming::InstallMessagePump({});
    }
    std::shared_ptr<HangingOpen> hang = std::make_shared<HangingOpen>();
};

// Retries (a station's, every 250 ms) join the one open under way; its late handle is closed.
TEST_F(HangingOpenTest, RetriesJoinTheOpenUnderWay) {
    for (int k = 0; k < 12; ++k) {
        EXPECT_FALSE(link->OpenCommPort(2));
        EXPECT_EQ(link->LastOpenResult().status, PortOpenStatus::NotAnswering);
    }
    EXPECT_EQ(hang->started, 1) << "each retry left another blocked open behind";
    EXPECT_EQ(PortOpenService::Instance().OpensUnderWay(), 1);
    hang->Release();
    EXPECT_TRUE(hang->Await([&] { return hang->discarded == 1; }));
}

// Quit ends the wait, the late handle is closed with no set-up; an open that throws has failed.
TEST_F(HangingOpenTest, QuitCancelsItAndAFaultIsAFailedOpen) {
    port->hangPatienceMs = 60000;
    const int setUp = port->opens;
    clsTiming::InstallMessagePump([&] {
        link->CloseForGood();
        hang->Release();
    });
    EXPECT_FALSE(link->OpenCommPort(2));
    EXPECT_TRUE(hang->Await([&] { return hang->discarded == 1; })) << "the late handle stayed open";
    EXPECT_EQ(port->opens, setUp) << "a port opened after Quit was set up";
    EXPECT_FALSE(port->IsOpen());

    Fresh();
    port->hang = std::make_shared<HangingOpen>();
    port->hang->throws = true;
    port->hang->Release();
    EXPECT_FALSE(link->OpenCommPort(2));
    EXPECT_EQ(link->LastOpenResult().status, PortOpenStatus::Failed);
}

}  // namespace
