// The emulated Field Programmer, driven over its real pseudo-terminal from this process: its
// exact refusals and injected faults, the flash's write rules in address mode, the block checks
// and the result lines the other tests read. How the host stack gets on with it is tested by
// the link and device integration tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ClsCRC.h"
#include "EmuServer.h"

namespace {

constexpr int kPatienceMs = 5000;  // generous: the machine may be busy

// The host's end of the line, raw and non-blocking.
class HostLine {
  public:
    explicit HostLine(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~HostLine() {
        if (fd_ >= 0) close(fd_);
    }
    bool IsOpen() const { return fd_ >= 0; }

    void Send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<std::size_t>(n);
            else
                poll(nullptr, 0, 1);
        }
    }

    // Collects what arrives until `done` holds for it (or patience runs out).
    std::string ReadUntil(const std::function<bool(const std::string&)>& done,
                          int timeoutMs = kPatienceMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done(text_) && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            char buffer[4096];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                text_.append(buffer, static_cast<std::size_t>(n));
            } else if (p.revents & (POLLHUP | POLLERR)) {
                break;
            }
        }
        std::string out;
        out.swap(text_);
        return out;
    }
    std::string ReadBytes(std::size_t count) {
        return ReadUntil([count](const std::string& t) { return t.size() >= count; });
    }
    // Everything that arrives within `ms` (to show that nothing more comes).
    std::string ReadFor(int ms) {
        return ReadUntil([](const std::string&) { return false; }, ms);
    }

  private:
    int fd_ = -1;
    std::string text_;
};

EmuOptions FastOptions() {
    EmuOptions o;
    o.baud = 0;
    o.pageMs = 0;
    o.replyDelayMs = 0;
    o.pressAfterMs = -1;
    o.pages = 0x10;
    o.bankSize = 64;
    return o;
}

struct Emulator {
    std::vector<std::string> results;  // read only after the server has stopped; outlives it

    explicit Emulator(const EmuOptions& options) : server(options) {
        server.ResultLine = [this](const std::string& line) { results.push_back(line); };
        std::string error;
        started = server.Start(error);
        EXPECT_TRUE(started) << error;
        if (started) host = std::make_unique<HostLine>(server.SlavePath());
    }
    EmuServer server;
    bool started = false;
    std::unique_ptr<HostLine> host;
};

std::string Block(int number, const std::vector<std::uint8_t>& data128, bool spoilCrc = false) {
    std::string block{'\x01', static_cast<char>(number), static_cast<char>(255 - number)};
    block.append(data128.begin(), data128.end());
    auto crc = static_cast<std::uint16_t>(ClsCRC().CRC16(data128));
    if (spoilCrc) crc ^= 0x0100;
    block += static_cast<char>(crc >> 8);
    block += static_cast<char>(crc & 0xFF);
    return block;
}

// ---------------------------------------------------------------------------------------------

struct CommandCase {
    std::string name;
    std::string command;
    std::string expected;  // echo and reply, exactly
    std::function<void(EmuOptions&)> tweak;
};

class EmuCommands : public ::testing::TestWithParam<CommandCase> {};

TEST_P(EmuCommands, AnswerExactly) {
    EmuOptions options = FastOptions();
    if (GetParam().tweak) GetParam().tweak(options);
    Emulator emu(options);
    ASSERT_TRUE(emu.started && emu.host->IsOpen());
    emu.host->Send(GetParam().command);
    const std::string& expected = GetParam().expected;
    EXPECT_EQ(emu.host->ReadBytes(expected.size()), expected);
    EXPECT_EQ(emu.host->ReadFor(100), "");  // and nothing after it
}

const std::string kErasedBank = [] {
    std::string text;
    for (int i = 0; i < 64; ++i) text += "FF ";  // every byte with its separator
    return text;
}();

INSTANTIATE_TEST_SUITE_P(
    Table, EmuCommands,
    ::testing::Values(
        CommandCase{"StatusAsConfigured", ".K", ".K\r\n03 0400\r\n",
                    [](EmuOptions& o) { o.status = "03", o.pages = 0x400; }},
        CommandCase{"LastBankErased", ".D000F", ".D000F\r\n" + kErasedBank + "\r\n", nullptr},
        CommandCase{"EmptyLine", "\r", "\r\n", nullptr},
        CommandCase{"UnknownCommandIsRefusedInPlaceOfItsEcho", ".Z", ".?", nullptr},
        CommandCase{"BankPastTheEndIsRefused", ".D0010", ".D001?", nullptr},
        CommandCase{"AddressPastTheEndIsRefused", ".R000400", ".R00040?", nullptr},
        CommandCase{"NonHexArgumentIsRefused", ".D0G", ".D0?", nullptr},
        CommandCase{"RefusedOnRequest", ".K", ".?", [](EmuOptions& o) { o.refuse = "K"; }},
        CommandCase{"NoEchoOnRequest", ".K", ".\r\n01 0010\r\n",
                    [](EmuOptions& o) { o.noEcho = "K"; }},
        CommandCase{"WrongEchoOnRequest", ".L", ".#\r\n", [](EmuOptions& o) { o.wrongEcho = "L"; }},
        CommandCase{"YesNoPromptTravelsWithTheEcho", ".L", ".Ly/n",
                    [](EmuOptions& o) { o.ynPrompt = "L"; }}),
    [](const auto& row) { return row.param.name; });

// Address mode as the three host operations use it: read one byte (".R" + address + CR), write
// one byte (value, then CR CR), and step through a block (two spaces per byte). A prompt device
// shows the byte with the address echo; a delaying one holds that display back, and typing
// before the delay is over replaces it.
class EmuAddressMode : public ::testing::TestWithParam<int> {};

TEST_P(EmuAddressMode, ReadWriteAndStep) {
    EmuOptions options = FastOptions();
    options.replyDelayMs = GetParam();
    Emulator emu(options);
    ASSERT_TRUE(emu.started);
    HostLine& host = *emu.host;
    const bool prompt = GetParam() == 0;
    const auto expect = [&host](const std::string& text) {
        EXPECT_EQ(host.ReadBytes(text.size()), text);
    };

    // Write AB at 0x20: the answer to the value begins and ends with the value.
    host.Send(".R000020AB");
    expect(std::string(".R000020") + (prompt ? "\r\nFF\r\n" : "") + "AB AB");
    host.Send("\r");
    expect("\r\nAB\r\n");
    host.Send("\r");
    expect("\r\n");

    // A single read: the reply's last two characters before the line end are the byte.
    host.Send(".R000020\r");
    expect(std::string(".R000020") + (prompt ? "\r\nAB\r\n" : "") + "\r\nAB\r\n");
    EXPECT_EQ(host.ReadFor(2 * GetParam() + 100), "");

    // Step from 0x1F: the byte there, then one byte per two spaces, then CR leaves.
    host.Send(".R00001F");
    expect(".R00001F\r\nFF\r\n");
    host.Send("  ");
    expect("  AB");
    host.Send("  ");
    expect("  FF");
    host.Send("\r");
    expect("\r\nFF\r\n");

    // Flash only clears bits: 0F written over AB reads back as 0B, and the host sees it differ.
    host.Send(".R0000200F\r");
    expect(std::string(".R000020") + (prompt ? "\r\nAB\r\n" : "") + "0F 0B\r\n0B\r\n");
}

INSTANTIATE_TEST_SUITE_P(PromptAndDelayed, EmuAddressMode, ::testing::Values(0, 80));

// ---------------------------------------------------------------------------------------------
// Block transfer: a .BIN of 208 bytes goes out, with the spare zero byte, in two padded blocks;
// the second is sent as it is or spoilt.

struct TransferCase {
    std::string name;
    std::function<std::string(const std::vector<std::uint8_t>&)> second;
    bool sound;
};

void PrintTo(const TransferCase& c, std::ostream* os) {
    *os << c.name;
}

class EmuTransfer : public ::testing::TestWithParam<TransferCase> {};

TEST_P(EmuTransfer, ChecksEveryBlockAndReportsTheDevice) {
    std::vector<std::uint8_t> bin(8, 0);
    bin[7] = 200;  // the data count
    for (int i = 0; i < 200; ++i) bin.push_back(static_cast<std::uint8_t>(0x30 + i % 64));
    EmuOptions options = FastOptions();
    options.expectPath = ::testing::TempDir() + "emu_expect.bin";
    std::ofstream(options.expectPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
    std::vector<std::uint8_t> padded = bin;
    padded.resize(256, 0);
    const std::vector<std::uint8_t> first(padded.begin(), padded.begin() + 128);
    const bool sound = GetParam().sound;
    Emulator emu(options);
    ASSERT_TRUE(emu.started);
    HostLine& host = *emu.host;

    host.Send(".X");
    EXPECT_EQ(host.ReadBytes(3), ".XC");
    host.Send(Block(1, first));
    EXPECT_EQ(host.ReadBytes(1), "\x06");
    host.Send(GetParam().second(std::vector<std::uint8_t>(padded.begin() + 128, padded.end())));
    EXPECT_EQ(host.ReadBytes(1), sound ? "\x06" : "\x15");
    host.Send("\x04");
    EXPECT_EQ(host.ReadBytes(1), "\x04");
    host.Send(".Q");
    EXPECT_EQ(host.ReadBytes(4), ".Q\r\n");
    ASSERT_TRUE(emu.server.WaitStopped(kPatienceMs));  // its only device has powered down

    const std::vector<std::uint8_t>& received = sound ? padded : first;
    const std::vector<EmuDeviceRecord> devices = emu.server.Devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].image, received);
    EXPECT_EQ(devices[0].flashDataBytes, sound ? 200u : 0u);
    EXPECT_EQ(emu.server.Succeeded(), sound);
    char crc[8];
    std::snprintf(crc, sizeof crc, "0x%04X",
                  static_cast<unsigned>(static_cast<std::uint16_t>(ClsCRC().CRC16(received))));
    const std::string line = "DEVICE 1 RECEIVED " + std::to_string(received.size()) +
                             " BYTES CRC " + crc + (sound ? " BLOCKS 2 OK" : " BLOCKS 1 FAIL");
    EXPECT_EQ(emu.results,
              (sound ? std::vector<std::string>{line, "DEVICE 1 EXPECT MATCH",
                                                "DONE DEVICES 1 OK 1 FAILED 0"}
                     : std::vector<std::string>{line, "DEVICE 1 EXPECT MISMATCH AT 128",
                                                "DONE DEVICES 1 OK 0 FAILED 1"}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, EmuTransfer,
    ::testing::Values(
        TransferCase{"Sound", [](const auto& d) { return Block(2, d); }, true},
        TransferCase{"WrongCrc", [](const auto& d) { return Block(2, d, true); }, false},
        TransferCase{"OutOfSequence", [](const auto& d) { return Block(3, d); }, false},
        TransferCase{"WrongComplement",
                     [](const auto& d) {
                         std::string b = Block(2, d);
                         b[2] = 0;
                         return b;
                     },
                     false}),
    [](const auto& row) { return row.param.name; });

TEST(EmuOptions, ParsesAndRejects) {
    EmuOptions o;
    std::string error;
    EXPECT_FALSE(ParseEmuOptions({"--pages", "0400", "--refuse=Z"}, o, error));
    EXPECT_NE(error.find("--refuse"), std::string::npos);  // there is no ".Z"

    o = EmuOptions{};
    ASSERT_TRUE(ParseEmuOptions(
        {"--pages", "0400", "--refuse", ".G1", "--no-echo", "all", "--baud=0"}, o, error))
        << error;
    EXPECT_EQ(o.pages, 1024);
    EXPECT_EQ(o.refuse, "G");
    EXPECT_EQ(o.noEcho, "*");
    EXPECT_EQ(o.baud, 0);

    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--pages", "04G0"},
                                                {"--pages", "0"},
                                                {"--bank-size", "4096", "--pages", "FFFF"},
                                                {"--status", "1"},
                                                {"--baud"},
                                                {"--nak-at", "0"},
                                                {"--bogus"}}) {
        EmuOptions fresh;
        EXPECT_FALSE(ParseEmuOptions(bad, fresh, error)) << bad[0];
    }
}

}  // namespace
