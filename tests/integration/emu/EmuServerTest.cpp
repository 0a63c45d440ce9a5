// The emulator's server on a real pseudo-terminal: it starts and greets, and when the line is
// pulled out the host's open port hangs up and the same symlink later reaches a fresh device.
// What the device answers is tested in virtual time (tests/unit/emu).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "EmuServer.h"

namespace {

// The host's end of the line, raw. Greet() waits for the button's "P", sends ".V" and returns
// the echo and reply; it stops early when the line hangs up.
struct HostLine {
    explicit HostLine(const std::string& path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios tio{};
        if (fd >= 0 && tcgetattr(fd, &tio) == 0) cfmakeraw(&tio), tcsetattr(fd, TCSANOW, &tio);
    }
    ~HostLine() { close(fd); }
    std::string ReadUntil(const std::string& end) {
        std::string text;
        for (int round = 0; round < 500 && !hungUp && text.find(end) == std::string::npos;) {
            pollfd p{fd, POLLIN, 0};
            round += poll(&p, 1, 20) == 0;  // ten seconds of silence at most
            char buffer[256];
            const ssize_t n = p.revents ? read(fd, buffer, sizeof buffer) : 0;
            text.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            hungUp = n < 0 || (n == 0 && p.revents != 0);
        }
        return text;
    }
    std::string Greet() {
        if (ReadUntil("P").empty() || write(fd, ".V", 2) != 2) return "no P";
        const std::string reply = ReadUntil("09\r\n");
        return reply.substr(std::min(reply.find('.'), reply.size()));
    }
    int fd;
    bool hungUp = false;
};

std::string LinkTarget(const std::string& link) {
    char target[256];
    const ssize_t n = readlink(link.c_str(), target, sizeof target);
    return std::string(target, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
}

TEST(EmuServer, GreetsAndComesBackAtTheSamePathAfterAnUnplug) {
    EmuOptions options;
    options.baud = options.replyDelayMs = options.pressAfterMs = options.devices = 0;
    options.stay = true;
    options.linkPath = ::testing::TempDir() + "emu_link_" + std::to_string(getpid());
    const std::string greeting = ".V\r\n123456 07 08 09\r\n";
    std::mutex mutex;
    std::vector<std::string> results;
    std::string first, second;
    {
        EmuServer server(options);
        server.ResultLine = [&](const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex);
            results.push_back(line);
        };
        std::string error;
        ASSERT_TRUE(server.Start(error)) << error;
        first = server.SlavePath();
        EXPECT_EQ(LinkTarget(options.linkPath), first);
        HostLine host(options.linkPath);
        EXPECT_EQ(host.Greet(), greeting);

        server.RequestUnplug(300);
        host.ReadUntil("never");
        EXPECT_TRUE(host.hungUp);
        // The old terminal stays taken while the host holds it, so the new one has another name.
        for (int i = 0; i < 500 && LinkTarget(options.linkPath).empty(); ++i) usleep(20000);
        second = LinkTarget(options.linkPath);
        EXPECT_NE(second, first);
        EXPECT_EQ(server.SlavePath(), second);
        EXPECT_EQ(HostLine(options.linkPath).Greet(), greeting);
    }  // the server stops
    EXPECT_EQ(LinkTarget(options.linkPath), "");
    const std::string none = " RECEIVED 0 BYTES CRC 0x0000 BLOCKS 0 NONE";
    EXPECT_EQ(results,
              (std::vector<std::string>{"DEVICE 1" + none, "UNPLUGGED", "PORT " + second,
                                        "DEVICE 2" + none, "DONE DEVICES 2 OK 0 FAILED 0"}));
}

}  // namespace
