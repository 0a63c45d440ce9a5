// The emulated Field Programmer, driven over its real pseudo-terminal from this process.
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
                hungUp_ = true;
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
    bool HungUp() const { return hungUp_; }

  private:
    int fd_ = -1;
    std::string text_;
    bool hungUp_ = false;
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

// A flash image as the downloader sends it: the 8-byte header with the data length, the data,
// the spare zero byte, cut into zero-padded 128-byte blocks.
std::vector<std::uint8_t> ImageWithData(std::size_t dataBytes) {
    std::vector<std::uint8_t> image(8, 0);
    image[6] = static_cast<std::uint8_t>(dataBytes >> 8);
    image[7] = static_cast<std::uint8_t>(dataBytes & 0xFF);
    for (std::size_t i = 0; i < dataBytes; ++i)
        image.push_back(static_cast<std::uint8_t>(0x30 + i % 64));
    image.push_back(0);
    return image;
}

std::vector<std::uint8_t> Chunk(const std::vector<std::uint8_t>& image, std::size_t index) {
    std::vector<std::uint8_t> chunk(128, 0);
    for (std::size_t i = 0; i < 128 && index * 128 + i < image.size(); ++i)
        chunk[i] = image[index * 128 + i];
    return chunk;
}

std::string BankText(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (const std::uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X ", b);
        text += pair;
    }
    return text;
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

const std::string kErasedBank = BankText(std::vector<std::uint8_t>(64, 0xFF));

INSTANTIATE_TEST_SUITE_P(
    Table, EmuCommands,
    ::testing::Values(
        CommandCase{"Version", ".V", ".V\r\n123456 07 08 09\r\n", nullptr},
        CommandCase{"StatusAndPages", ".K", ".K\r\n01 0010\r\n", nullptr},
        CommandCase{"StatusAsConfigured", ".K", ".K\r\n03 0400\r\n",
                    [](EmuOptions& o) { o.status = "03", o.pages = 0x400; }},
        CommandCase{"ErasedBank", ".D000F", ".D000F\r\n" + kErasedBank + "\r\n", nullptr},
        CommandCase{"ReceiveBufferWithoutSeparators", ".B",
                    ".B\r\n" + std::string(256, '0') + "\r\n", nullptr},
        CommandCase{"FlashRamBufferSpaced", ".G2", ".G2\r\n" + kErasedBank + "\r\n", nullptr},
        CommandCase{"Leds", ".L", ".L\r\n", nullptr},
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

TEST(EmuDevice, YesNoPromptActsOnlyOnYes) {
    EmuOptions options = FastOptions();
    options.ynPrompt = "K";
    Emulator emu(options);
    ASSERT_TRUE(emu.started);
    emu.host->Send(".K");
    EXPECT_EQ(emu.host->ReadBytes(5), ".Ky/n");
    emu.host->Send("Y");
    EXPECT_EQ(emu.host->ReadBytes(12), "Y\r\n01 0010\r\n");
    emu.host->Send(".K");
    EXPECT_EQ(emu.host->ReadBytes(5), ".Ky/n");
    emu.host->Send("N");
    EXPECT_EQ(emu.host->ReadBytes(3), "N\r\n");
}

// ".C": a page counter overwritten with backspaces, the last step carrying the line end.
TEST(EmuDevice, ClearCountsEveryPageAndErasesTheFlash) {
    Emulator emu(FastOptions());
    ASSERT_TRUE(emu.started);
    emu.host->Send(".R000005");
    emu.host->Send("12\r");
    const std::string written = ".R000005\r\nFF\r\n12 12\r\n12\r\n";
    EXPECT_EQ(emu.host->ReadBytes(written.size()), written);

    emu.host->Send(".C");
    std::string expected = ".C";
    for (int page = 0; page < 16; ++page) {
        char step[16];
        std::snprintf(step, sizeof step, "%04X\b\b\b\b", page);
        expected += step;
    }
    expected += "\r\n";
    EXPECT_EQ(emu.host->ReadBytes(expected.size()), expected);
    EXPECT_EQ(emu.server.FlashBytes().at(5), 0xFF);
}

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

TEST(EmuDevice, BadWriteShowsTheOldValue) {
    EmuOptions options = FastOptions();
    options.badWrite = true;
    Emulator emu(options);
    ASSERT_TRUE(emu.started);
    emu.host->Send(".R000001");
    emu.host->ReadBytes(8);
    emu.host->Send("5A");
    EXPECT_EQ(emu.host->ReadBytes(5), "5A FF");
}

// ---------------------------------------------------------------------------------------------
// Block transfer

TEST(EmuTransfer, KeepsTheImageAndItsDataInFlash) {
    EmuOptions options = FastOptions();
    const std::vector<std::uint8_t> image = ImageWithData(120);  // 129 bytes: two blocks
    const std::string expectPath = ::testing::TempDir() + "emu_expect.bin";
    const std::string savePath = ::testing::TempDir() + "emu_saved.bin";
    {
        std::ofstream out(expectPath, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()),
                  static_cast<std::streamsize>(image.size()));
    }
    options.expectPath = expectPath;
    options.saveImagePath = savePath;
    Emulator emu(options);
    ASSERT_TRUE(emu.started);
    HostLine& host = *emu.host;

    host.Send(".X");
    EXPECT_EQ(host.ReadBytes(3), ".XC");
    host.Send(Block(1, Chunk(image, 0)));
    EXPECT_EQ(host.ReadBytes(1), "\x06");
    host.Send(Block(2, Chunk(image, 1)));
    EXPECT_EQ(host.ReadBytes(1), "\x06");
    host.Send("\x04");
    EXPECT_EQ(host.ReadBytes(1), "\x04");

    // The flash holds the 120 data bytes from address 0; the rest stays erased.
    host.Send(".D0001");
    std::vector<std::uint8_t> bank1(image.begin() + 8 + 64, image.begin() + 8 + 120);
    bank1.resize(64, 0xFF);
    const std::string bankReply = ".D0001\r\n" + BankText(bank1) + "\r\n";
    EXPECT_EQ(host.ReadBytes(bankReply.size()), bankReply);
    host.Send(".G1");
    const std::string bufferReply = ".G1\r\n" + BankText(bank1) + "\r\n";
    EXPECT_EQ(host.ReadBytes(bufferReply.size()), bufferReply);

    host.Send(".Q");
    EXPECT_EQ(host.ReadBytes(4), ".Q\r\n");
    ASSERT_TRUE(emu.server.WaitDevicesClosed(1, kPatienceMs));
    ASSERT_TRUE(emu.server.WaitStopped(kPatienceMs));

    const std::vector<EmuDeviceRecord> devices = emu.server.Devices();
    ASSERT_EQ(devices.size(), 1u);
    std::vector<std::uint8_t> padded = image;
    padded.resize(256, 0);
    EXPECT_EQ(devices[0].image, padded);
    EXPECT_EQ(devices[0].flashDataBytes, 120u);
    EXPECT_EQ(devices[0].Verdict(), "OK");
    EXPECT_TRUE(emu.server.Succeeded());

    char crc[8];
    std::snprintf(crc, sizeof crc, "0x%04X",
                  static_cast<unsigned>(static_cast<std::uint16_t>(ClsCRC().CRC16(padded))));
    const std::vector<std::string> lines = {
        "DEVICE 1 RECEIVED 256 BYTES CRC " + std::string(crc) + " BLOCKS 2 OK",
        "DEVICE 1 EXPECT MATCH", "DONE DEVICES 1 OK 1 FAILED 0"};
    EXPECT_EQ(emu.results, lines);

    std::ifstream saved(savePath, std::ios::binary);
    const std::vector<std::uint8_t> savedBytes((std::istreambuf_iterator<char>(saved)),
                                               std::istreambuf_iterator<char>());
    EXPECT_EQ(savedBytes, padded);
}

struct BadBlockCase {
    std::string name;
    std::function<std::string(const std::vector<std::uint8_t>&)> second;  // the block sent second
};

class EmuBadBlock : public ::testing::TestWithParam<BadBlockCase> {};

TEST_P(EmuBadBlock, IsRefusedAndFailsTheDevice) {
    Emulator emu(FastOptions());
    ASSERT_TRUE(emu.started);
    const std::vector<std::uint8_t> data(128, 0x5A);
    emu.host->Send(".X");
    emu.host->ReadBytes(3);
    emu.host->Send(Block(1, data));
    EXPECT_EQ(emu.host->ReadBytes(1), "\x06");
    emu.host->Send(GetParam().second(data));
    EXPECT_EQ(emu.host->ReadBytes(1), "\x15");
    emu.host->Send("\x04");
    emu.host->ReadBytes(1);
    emu.server.RequestStop();
    ASSERT_TRUE(emu.server.WaitStopped(kPatienceMs));
    const std::vector<EmuDeviceRecord> devices = emu.server.Devices();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].goodBlocks, 1);
    EXPECT_EQ(devices[0].image.size(), 128u);
    EXPECT_EQ(devices[0].Verdict(), "FAIL");
    EXPECT_EQ(devices[0].flashDataBytes, 0u);
    EXPECT_FALSE(emu.server.Succeeded());
}

INSTANTIATE_TEST_SUITE_P(
    Table, EmuBadBlock,
    ::testing::Values(BadBlockCase{"WrongCrc", [](const auto& d) { return Block(2, d, true); }},
                      BadBlockCase{"OutOfSequence", [](const auto& d) { return Block(3, d); }},
                      BadBlockCase{"WrongComplement",
                                   [](const auto& d) {
                                       std::string b = Block(2, d);
                                       b[2] = 0;
                                       return b;
                                   }}),
    [](const auto& row) { return row.param.name; });

TEST(EmuTransfer, FaultSwitchesAtTheKthBlock) {
    const std::vector<std::uint8_t> data(128, 0x11);
    {
        EmuOptions options = FastOptions();
        options.noAckAt = 1;
        Emulator emu(options);
        ASSERT_TRUE(emu.started);
        emu.host->Send(".X");
        emu.host->ReadBytes(3);
        emu.host->Send(Block(1, data));
        EXPECT_EQ(emu.host->ReadFor(300), "");
    }
    {
        EmuOptions options = FastOptions();
        options.closeAt = 2;
        Emulator emu(options);
        ASSERT_TRUE(emu.started);
        emu.host->Send(".X");
        emu.host->ReadBytes(3);
        emu.host->Send(Block(1, data));
        EXPECT_EQ(emu.host->ReadBytes(1), "\x06");
        emu.host->Send(Block(2, data));
        EXPECT_EQ(emu.host->ReadFor(kPatienceMs), "");
        EXPECT_TRUE(emu.host->HungUp());
        EXPECT_TRUE(emu.server.WaitStopped(kPatienceMs));
    }
}

// ---------------------------------------------------------------------------------------------
// Button

TEST(EmuDevice, ButtonGreetingAndRepeatedP) {
    EmuOptions options = FastOptions();
    options.pressAfterMs = 0;
    Emulator emu(options);
    ASSERT_TRUE(emu.started);
    HostLine& host = *emu.host;
    EXPECT_EQ(host.ReadBytes(1), "P");
    // Nobody answers: the device presses its point again.
    EXPECT_EQ(host.ReadBytes(1), "P");
    host.Send(".");
    EXPECT_EQ(host.ReadBytes(1), ".");
    EXPECT_EQ(host.ReadFor(100), "");  // the host wants "." and nothing else
    host.Send(".V");
    EXPECT_EQ(host.ReadBytes(21), ".V\r\n123456 07 08 09\r\n");
    // Greeted: no more "P" until the next device.
    EXPECT_EQ(host.ReadFor(1300), "");
    emu.server.RequestPress();
    EXPECT_EQ(host.ReadBytes(1), "P");
    EXPECT_EQ(emu.server.Devices().size(), 2u);
}

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
