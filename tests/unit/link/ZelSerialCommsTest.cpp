#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeSerialPort.h"
#include "FileSystem.h"
#include "TestEnvironment.h"
#include "ZelSerialComms.h"

namespace {

namespace fs = std::filesystem;
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
    // A device that echoes every character but line ends and answers every `trigger` (the
    // written stream ending with it) `delayMs` later.
    struct Answer {
        std::string trigger, text;
        int delayMs;
    };
    void Device(std::vector<Answer> answers = {}) {
        port->OnWrite = [answers, seen = std::string()](FakeSerialPort& p,
                                                        const std::string& w) mutable {
            if (w != "\r" && w != "\n") p.Deliver(w);
            seen += w;
            for (const auto& a : answers) {
                const auto n = a.trigger.size();
                if (seen.size() >= n && seen.compare(seen.size() - n, n, a.trigger) == 0) {
                    p.Deliver(a.text, a.delayMs);
                }
            }
        };
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
        std::string reply;  // to ".R", 100 ms after its echo
        bool ok;
        std::int64_t quitAtMs;  // 0: only as a last resort
        bool vanished;          // the port fails before the call: give up at once
    } rows[] = {
        {Echoed(".V", 3, -1), "", false, 0, false}, {prog, "", false, 0, false},
        {Echoed(".R", 3, 2), "12345", false, 0, false}, {Echoed(".R", 3, 2), "123", true, 0, false},
        // No limit of their own, so only Quit ends them, in the round it comes in.
        {Echoed(".V", 0, -1), "", false, 100000, false}, {data, "", false, 100000, false},
        {button, "", false, 100000, false},
        {Echoed(".V", 50, -1), "", false, 0, true}, {data, "", false, 0, true},
        {button, "", false, 0, true}};
    for (std::size_t k = 0; k < std::size(rows); ++k) {
        const auto& r = rows[k];
        Fresh();
        QuitFrom(r.quitAtMs ? r.quitAtMs : 3600000);
        Device({{".R", r.reply, 100}});
        if (r.vanished) port->Vanish();
        EXPECT_EQ(r.command(*link), r.ok) << k;
        EXPECT_GE(clock->NowMs(), r.quitAtMs) << k;
        EXPECT_LE(clock->NowMs(), r.vanished ? 50 : r.quitAtMs ? r.quitAtMs + 50 : 10000) << k;
        if (r.vanished) continue;
        // A Quit that was used must not cut the next wait short.
        clsTiming::InstallMessagePump(nullptr);
        port->Deliver("ok\r\n", 200);
        std::string got;
        EXPECT_TRUE(link->WaitForData(got, 10, -1)) << k;
    }
}

// --- Binary transfer -----------------------------------------------------------------------

constexpr char kACK = 0x06;
constexpr char kNAK = 0x15;

// A receiver that echoes commands, answers ".X" through OnX (a "C" after 150 ms) and each
// frame through OnBlock (an ACK after 20 ms), with a private TMPDIR to look for leftovers.
class TransferTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        frames.clear();
        progress.clear();
        errors.clear();
        throwAt100 = false;
        tmpDir = FileSystem::NewPrivateFolder(FileSystem::TempFolder(), "fp-link-");
        ASSERT_FALSE(tmpDir.empty());
        SetEnvironment(kTempFolderVariable, tmpDir);
        OnX = [](FakeSerialPort& p) { p.Deliver("C", 150); };
        OnBlock = [](FakeSerialPort& p) { p.Deliver(std::string(1, kACK), 20); };
        port->OnWrite = [this](FakeSerialPort& p, const std::string& w) {
            if (w.size() == 133) {
                frames.push_back(w);
                OnBlock(p);
            } else {
                p.Deliver(w);
                if (w == "X") OnX(p);
            }
        };
        link->Progress = [this](std::int16_t v) {
            progress.push_back(v);
            if (v == 100 && throwAt100) throw std::runtime_error("handler");
        };
        // The temporary file must be gone before the owner hears of a failure.
        link->Error = [this](std::int32_t e) {
            errors.push_back(e);
            EXPECT_TRUE(e == 0 || Leftovers() == 0) << "error " << e;
        };
    }
    void TearDown() override {
        EXPECT_EQ(Leftovers(), 0);
        FileSystem::RemoveTree(tmpDir);
        UnsetEnvironment(kTempFolderVariable);
        LinkTest::TearDown();
    }
    long Leftovers() const { return std::distance(fs::directory_iterator(tmpDir), {}); }
    static std::vector<std::uint8_t> Image(std::size_t n) {
        std::vector<std::uint8_t> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 % 251 + 1);
        return v;
    }

    std::string tmpDir;
    std::function<void(FakeSerialPort&)> OnX, OnBlock;
    bool throwAt100 = false;
    std::vector<std::string> frames;
    std::vector<std::int16_t> progress;
    std::vector<std::int32_t> errors;
};

TEST_F(TransferTest, ProgressFollowsTheAcknowledgedBlocks) {
    const std::pair<std::size_t, std::vector<std::int16_t>> rows[] = {
        {0, {0}}, {3 * 128, {0, 33, 67, 100}}, {8 * 128 - 5, {0, 12, 25, 38, 50, 62, 75, 88, 100}}};
    for (const auto& [bytes, seen] : rows) {
        Fresh();
        EXPECT_TRUE(link->DownloadBinaryData(Image(bytes))) << bytes;
        EXPECT_EQ(frames.size(), (bytes + 127) / 128);
        EXPECT_EQ(progress, seen) << bytes;
        EXPECT_EQ(port->written.substr(port->written.size() - 3), "\x04.Q");
        EXPECT_EQ(errors, std::vector<std::int32_t>{0});
        EXPECT_EQ(port->rThresholdHistory, (std::vector<int>{1, 0, 1}));
    }
}

// Frames: SOH, number and complement wrapping 255 -> 0, zero padding, CRC high byte first.
TEST_F(TransferTest, FramesNumberPastBlock255AndPadTheLastBlock) {
    const auto image = Image(256 * 128 + 1);
    ASSERT_TRUE(link->DownloadBinaryData(image));
    ASSERT_EQ(frames.size(), 257u);  // the 257th carries one byte
    const ClsCRC crc;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        const auto& f = frames[k];
        const auto n = static_cast<std::uint8_t>((k + 1) % 256);
        ASSERT_EQ(f.substr(0, 3), std::string({'\x01', char(n), char(255 - n)})) << k;
        std::vector<std::uint8_t> data(128, 0);
        std::copy(image.begin() + k * 128, image.begin() + std::min(image.size(), k * 128 + 128),
                  data.begin());
        ASSERT_EQ(f.substr(3, 128), std::string(data.begin(), data.end())) << k;
        const auto check = crc.CRC162Var(crc.CRC16(data));
        ASSERT_EQ(f.substr(131), std::string(check.begin(), check.end())) << k;
    }
}

// The ACK wait wakes on every byte, but stray bytes must not use up its time limit.
TEST_F(TransferTest, ReceiverFaultsRaiseTheirErrorAndLeaveNoFile) {
    enum Fault { NoC, Nak, WriteFails, Vanishes, HandlerThrows, NoTempDir, Chatter, LongChatter };
    const struct {
        Fault fault;
        std::int32_t error;  // 0: the transfer succeeds
        std::size_t frames;
    } rows[] = {{NoC, 144, 0},      {Nak, 143, 1},           {WriteFails, 145, 0},
                {Vanishes, 145, 1}, {HandlerThrows, 145, 2}, {NoTempDir, 145, 0},
                {Chatter, 0, 2},    {LongChatter, 143, 1}};
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
        if (r.fault == Chatter || r.fault == LongChatter) {
            OnBlock = [at = r.fault == Chatter ? 2550 : 2600](FakeSerialPort& p) {
                for (int t = 10; t < at; t += 10) p.Deliver(std::string(1, kNAK), t);
                p.Deliver(std::string(1, kACK), at);
            };
        }
        throwAt100 = r.fault == HandlerThrows;
        if (r.fault == NoTempDir) SetEnvironment(kTempFolderVariable, tmpDir + "/missing");
        EXPECT_EQ(link->DownloadBinaryData(Image(2 * 128)), r.error == 0) << r.fault;
        std::vector<std::int32_t> raised{0};
        if (r.error != 0) raised.push_back(r.error);
        EXPECT_EQ(errors, raised) << r.fault;
        EXPECT_EQ(frames.size(), r.frames) << r.fault;
        EXPECT_EQ(port->rThreshold, 1) << r.fault;
    }
}

}  // namespace
