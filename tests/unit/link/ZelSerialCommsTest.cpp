#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ClsCRC.h"
#include "FakeSerialPort.h"
#include "ZelSerialComms.h"
#include "clsTiming.h"

namespace {

using Command = std::function<bool(ZelSerialComms&)>;

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock = std::make_shared<VirtualClock>();
        clsTiming::InstallClock(clock);
        auto fake = std::make_unique<FakeSerialPort>(clock);
        port = fake.get();
        link = std::make_unique<ZelSerialComms>(std::move(fake));
        ASSERT_TRUE(link->OpenCommPort(1));
    }
    void TearDown() override {
        link.reset();
        clsTiming::InstallMessagePump(nullptr);
        clsTiming::InstallClock(nullptr);
    }
    // A new device and link, for tests that loop over cases.
    void Fresh() {
        TearDown();
        SetUp();
    }
    // A device that echoes every character but line ends and answers `trigger` (the written
    // stream ending with it) `delayMs` later; 0 means together with the echo. Answers sharing a
    // trigger all go out.
    struct Answer {
        std::string trigger, text;
        int delayMs;
    };
    void Device(std::vector<Answer> answers = {}) {
        port->OnWrite = [answers, seen = std::string()](FakeSerialPort& p,
                                                        const std::string& w) mutable {
            if (w != "\r" && w != "\n") p.Deliver(w);
            seen += w;
            bool answered = false;
            for (const auto& a : answers) {
                if (seen.size() >= a.trigger.size() &&
                    seen.compare(seen.size() - a.trigger.size(), a.trigger.size(), a.trigger) ==
                        0) {
                    p.Deliver(a.text, a.delayMs);
                    answered = true;
                }
            }
            if (answered) seen.clear();
        };
    }
    // ManualExit from the message loop once virtual time reaches `atMs`: the first time only,
    // or (`repeat`) every time the loop runs from then on.
    void ManualExitAt(std::int64_t atMs, bool repeat = false) {
        auto fired = std::make_shared<bool>(false);
        auto inside = std::make_shared<bool>(false);
        clsTiming::InstallMessagePump([this, fired, inside, atMs, repeat] {
            if (*inside || (*fired && !repeat) || clock->NowMs() < atMs) return;
            *fired = *inside = true;
            link->ManualExit();
            *inside = false;
        });
    }

    std::shared_ptr<VirtualClock> clock;
    FakeSerialPort* port = nullptr;
    std::unique_ptr<ZelSerialComms> link;
};

TEST_F(LinkTest, EchoCheckStopsTheSendAtTheFirstBadCharacter) {
    const struct {
        std::string echoOfA;
        int delayMs;
        std::string result, written;
    } rows[] = {{"A", 500, "AB", "AB"},  // 11th read
                {"A", 550, "", "A"},     // would need a 12th
                {"?", 0, "", "A"}};
    for (const auto& r : rows) {
        Fresh();
        port->OnWrite = [r](FakeSerialPort& p, const std::string& w) {
            p.Deliver(w == "A" ? r.echoOfA : w, w == "A" ? r.delayMs : 0);
        };
        EXPECT_EQ(link->SendEchoedString("AB", 50, -1), r.result) << r.delayMs;
        EXPECT_EQ(port->written, r.written) << r.delayMs;
    }
}

TEST_F(LinkTest, CommandRepliesLineEndsAndPrompts) {
    const struct {
        std::string command;
        std::vector<Answer> answers;
        std::string written, reply;
    } rows[] = {
        // The reply begins with the last character of the echo...
        {".V", {{".V", "1.23 FP\r\n", 100}}, ".V", "V1.23 FP"},
        // ...or right after it when the command ends with a CR, which is written unechoed.
        {".R000010\r", {{"\r", "41 42\r\n", 100}}, ".R000010\r", "41 42"},
        // A prompt that comes with the echo is answered with an echoed "Y".
        {".E", {{".E", " y/n", 0}, {"Y", "\r\n", 100}}, ".EY", "E y/n"},
    };
    for (const auto& r : rows) {
        Fresh();
        Device(r.answers);
        std::string reply;
        EXPECT_TRUE(link->SendEchoedCommand(r.command, &reply, 50, -1)) << r.command;
        EXPECT_EQ(port->written, r.written);
        EXPECT_EQ(reply, r.reply);
    }
    // CR LF goes out as CR, a pause, LF.
    Fresh();
    Device({{"\n", "ok\r\n", 100}});
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

TEST_F(LinkTest, ManualExitEndsUnboundedWaitsAndIsCleared) {
    const Command waits[] = {
        [](ZelSerialComms& l) {
            std::string s;
            return l.WaitForData(s, 0, -1);
        },
        [](ZelSerialComms& l) { return l.WaitForFieldProgrammer(0); },
    };
    for (const auto& wait : waits) {
        Fresh();
        ManualExitAt(100000);  // far beyond any loop count
        EXPECT_FALSE(wait(*link));
        EXPECT_GE(clock->NowMs(), 100000);
        // The flag must not linger and cut the next wait short.
        port->Deliver("ok\r\n", 200);
        std::string got;
        EXPECT_TRUE(link->WaitForData(got, 10, -1));
    }
}

TEST_F(LinkTest, ButtonPressIsGreeted) {
    // The first "." is answered wrongly; the "P" still stands, so "." goes out again.
    port->OnWrite = [n = 0](FakeSerialPort& p, const std::string& w) mutable {
        p.Deliver(w == "." && n++ == 0 ? "?" : w);
    };
    port->Deliver("P", 300);
    EXPECT_TRUE(link->WaitForFieldProgrammer(50));
    EXPECT_EQ(port->written, "...V");
}

TEST_F(LinkTest, ProgressPiecesWithBackspacesRaiseProgFlag) {
    // "done" has no backspace and raises nothing.
    Device({{".C", "12345\b\b\b\b\b", 100}, {".C", "done", 300}, {".C", "OK\r\n", 500}});
    std::vector<std::pair<std::string, std::int32_t>> flags;
    link->ProgFlag = [&](const std::string& v, std::int32_t t) { flags.emplace_back(v, t); };
    EXPECT_TRUE(link->SendProgEchoedCommand(".C", nullptr, 50, 3));
    EXPECT_EQ(flags, (std::vector<std::pair<std::string, std::int32_t>>{{"2345", 3}}));
}

TEST_F(LinkTest, ReplyLoopsEndWhenTheDeviceFallsSilentOvershootsOrIsStopped) {
    const struct {
        Command command;
        std::string reply;  // to ".R", 100 ms after its echo
        bool ok;
        std::int64_t quitAtMs;
    } rows[] = {
        {[](ZelSerialComms& l) { return l.SendEchoedCommand(".V", nullptr, 3, -1); }, "", false, 0},
        {[](ZelSerialComms& l) { return l.SendProgEchoedCommand(".C", nullptr, 3, 3); }, "", false,
         0},
        {[](ZelSerialComms& l) { return l.SendEchoedCommand(".R", nullptr, 3, 2); }, "12345", false,
         0},
        {[](ZelSerialComms& l) { return l.SendEchoedCommand(".R", nullptr, 3, 2); }, "123", true,
         0},
        // No limit of its own: only Quit ends it.
        {[](ZelSerialComms& l) { return l.SendEchoedCommand(".V", nullptr, 0, -1); }, "", false,
         5000},
    };
    for (const auto& r : rows) {
        Fresh();
        // Quit pressed over and over; without it an unbounded loop would never end.
        ManualExitAt(r.quitAtMs ? r.quitAtMs : 3600000, true);
        Device({{".R", r.reply, 100}});
        EXPECT_EQ(r.command(*link), r.ok) << r.reply;
        EXPECT_LT(clock->NowMs(), r.quitAtMs ? r.quitAtMs + 1000 : 3600000) << r.reply;
    }
}

TEST_F(LinkTest, VanishedDeviceFailsAtOnce) {
    port->failWrites = true;
    EXPECT_FALSE(link->SendEchoedCommand(".V"));
    EXPECT_EQ(clock->NowMs(), 0);
    port->failWrites = false;
    port->Vanish();
    EXPECT_FALSE(link->WaitForFieldProgrammer(1000));
    std::string got;
    EXPECT_FALSE(link->WaitForData(got, 1000, -1));
    EXPECT_LE(clock->NowMs(), 100);
}

// --- Binary transfer -----------------------------------------------------------------------

constexpr char kACK = 0x06;
constexpr char kNAK = 0x15;

class TransferTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        frames.clear();
        progress.clear();
        errors.clear();
        char pattern[] = "/tmp/fp-link-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        tmpDir = pattern;
        const char* old = std::getenv("TMPDIR");
        oldTmp = old ? old : "";
        setenv("TMPDIR", tmpDir.c_str(), 1);
        // Receiver: echoes commands, says "C" a little after ".X", answers each block.
        OnBlock = [](FakeSerialPort& p) { p.Deliver(std::string(1, kACK), 20); };
        port->OnWrite = [this](FakeSerialPort& p, const std::string& w) {
            if (w.size() != 133) {
                p.Deliver(w);
                if (w == "X" && OnX) OnX(p);
                if (w == "X" && !OnX) p.Deliver("C", 150);
                return;
            }
            frames.push_back(w);
            OnBlock(p);
        };
        link->Progress = [this](std::int16_t v) {
            progress.push_back(v);
            if (v == 100 && throwAt100) throw std::runtime_error("handler");
        };
        link->Error = [this](std::int32_t e) {
            errors.push_back(e);
            if (e != 0) {
                EXPECT_EQ(ZapFiles(), 0) << "temp file still there when error " << e;
            }
        };
    }
    void TearDown() override {
        EXPECT_EQ(ZapFiles(), 0);
        rmdir(tmpDir.c_str());
        oldTmp.empty() ? unsetenv("TMPDIR") : setenv("TMPDIR", oldTmp.c_str(), 1);
        OnX = nullptr;
        throwAt100 = false;
        LinkTest::TearDown();
    }
    int ZapFiles() const {
        int n = 0;
        if (DIR* d = opendir(tmpDir.c_str())) {
            while (const dirent* e = readdir(d)) n += std::string(e->d_name).rfind("ZAP", 0) == 0;
            closedir(d);
        }
        return n;
    }
    static std::vector<std::uint8_t> Image(std::size_t n) {
        std::vector<std::uint8_t> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 % 251 + 1);
        return v;
    }

    std::string tmpDir, oldTmp;
    std::function<void(FakeSerialPort&)> OnX, OnBlock;
    bool throwAt100 = false;
    std::vector<std::string> frames;
    std::vector<std::int16_t> progress;
    std::vector<std::int32_t> errors;
};

TEST_F(TransferTest, BlocksAreNumberedPaddedAndChecked) {
    const auto image = Image(256 * 128 + 1);  // past block 255, last block one byte
    EXPECT_TRUE(link->DownloadBinaryData(image));
    ASSERT_EQ(frames.size(), 257u);
    const ClsCRC crc;
    for (std::size_t b = 0; b < frames.size(); ++b) {
        const auto& f = frames[b];
        const auto n = static_cast<std::uint8_t>((b + 1) & 0xFF);  // ..., 255, 0, 1
        std::vector<std::uint8_t> data(128, 0);
        for (std::size_t i = 0; i < 128 && b * 128 + i < image.size(); ++i)
            data[i] = image[b * 128 + i];
        const auto check = crc.CRC162Var(crc.CRC16(data));
        std::string expected{0x01, static_cast<char>(n), static_cast<char>(255 - n)};
        expected.append(data.begin(), data.end());
        expected.append(check.begin(), check.end());
        ASSERT_EQ(f, expected) << "block " << b;
    }
    EXPECT_EQ(port->written.substr(port->written.size() - 3), "\x04.Q");
    EXPECT_EQ(errors, std::vector<std::int32_t>{0});
    EXPECT_EQ(port->rThresholdHistory, (std::vector<int>{1, 0, 1}));
}

TEST_F(TransferTest, ProgressFollowsAcknowledgedBlocks) {
    const struct {
        std::size_t bytes;
        std::vector<std::int16_t> seen;
    } rows[] = {
        {0, {0}},
        {3 * 128, {0, 33, 67, 100}},
        {8 * 128 - 5, {0, 12, 25, 38, 50, 62, 75, 88, 100}},
    };
    for (const auto& r : rows) {
        progress.clear();
        port->written.clear();
        EXPECT_TRUE(link->DownloadBinaryData(Image(r.bytes))) << r.bytes;
        EXPECT_EQ(progress, r.seen) << r.bytes;
        EXPECT_NE(port->written.find("\x04.Q"), std::string::npos) << r.bytes;
    }
}

// The ACK wait wakes on every byte, but stray bytes must not use up its time limit.
TEST_F(TransferTest, AckWaitLastsItsFullTimeDespiteChatter) {
    for (const auto& [ackAtMs, ok] : {std::pair{2550, true}, std::pair{2600, false}}) {
        Fresh();
        OnBlock = [at = ackAtMs](FakeSerialPort& p) {
            for (int t = 10; t < at; t += 10) p.Deliver(std::string(1, kNAK), t);
            p.Deliver(std::string(1, kACK), at);
        };
        EXPECT_EQ(link->DownloadBinaryData(Image(10)), ok) << ackAtMs;
    }
}

TEST_F(TransferTest, FailuresRaiseTheirErrorAndLeaveNoFile) {
    enum Fault { NoC, Nak, WriteFails, Vanishes, HandlerThrows, NoTempDir };
    const struct {
        Fault fault;
        std::int32_t error;
        std::size_t frames;
    } rows[] = {{NoC, 144, 0},      {Nak, 143, 1},           {WriteFails, 145, 0},
                {Vanishes, 145, 1}, {HandlerThrows, 145, 2}, {NoTempDir, 145, 0}};
    for (const auto& r : rows) {
        Fresh();
        if (r.fault == NoC) OnX = [](FakeSerialPort&) {};
        if (r.fault == WriteFails) {
            OnX = [](FakeSerialPort& p) {
                p.Deliver("C", 150);
                p.failWrites = true;
            };
        }
        if (r.fault == Nak) OnBlock = [](FakeSerialPort& p) { p.Deliver(std::string(1, kNAK)); };
        if (r.fault == Vanishes) OnBlock = [](FakeSerialPort& p) { p.Vanish(); };
        throwAt100 = r.fault == HandlerThrows;
        if (r.fault == NoTempDir) setenv("TMPDIR", (tmpDir + "/missing").c_str(), 1);
        EXPECT_FALSE(link->DownloadBinaryData(Image(2 * 128))) << r.fault;
        EXPECT_EQ(errors, (std::vector<std::int32_t>{0, r.error})) << r.fault;
        EXPECT_EQ(frames.size(), r.frames) << r.fault;
        EXPECT_EQ(port->rThreshold, 1) << r.fault;
    }
}

}  // namespace
