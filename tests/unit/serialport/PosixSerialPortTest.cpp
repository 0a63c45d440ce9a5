#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "PosixSerialPort.h"
#include "SerialPort.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
constexpr milliseconds kGenerous{5000};  // bound for things that should happen at once

// A pseudo-terminal whose slave side is reachable as COM 1.
class PtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int slave = -1;
        char name[256] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        close(slave);
        slavePath = name;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        setenv("FIELDPROG_COM1", slavePath.c_str(), 1);
    }
    void TearDown() override {
        if (master >= 0) close(master);
        master = -1;
        unsetenv("FIELDPROG_COM1");
    }
    std::string ReadMaster(std::size_t n) {
        std::string out;
        char buf[512];
        for (auto end = steady_clock::now() + kGenerous;
             out.size() < n && steady_clock::now() < end;) {
            pollfd p{master, POLLIN, 0};
            const ssize_t got = poll(&p, 1, 100) > 0 ? read(master, buf, sizeof buf) : 0;
            if (got > 0) out.append(buf, static_cast<std::size_t>(got));
        }
        return out;
    }
    // Settings of the slave side, read or changed through a descriptor of our own.
    termios Slave(void (*change)(termios&) = nullptr) {
        const int fd = open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        EXPECT_EQ(tcgetattr(fd, &t), 0);
        if (change != nullptr) {
            change(t);
            EXPECT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        }
        close(fd);
        return t;
    }

    int master = -1;
    std::string slavePath;
};

TEST_F(PtyTest, BytesTravelBothWaysUntranslatedAndWaitingWakesOnArrival) {
    auto port = MakeSystemSerialPort();
    ASSERT_TRUE(port->Open(1));
    // NUL, CR, LF, XON, XOFF and high bytes pass as they are: raw mode, no flow control.
    const std::string bytes(
        "\x00\r\n\x11\x13\xff\x7f"
        "abc",
        10);
    ASSERT_TRUE(port->Write(bytes));
    EXPECT_EQ(ReadMaster(bytes.size()), bytes);

    EXPECT_FALSE(port->WaitReadable(20));
    std::thread device([&] {
        std::this_thread::sleep_for(milliseconds(50));
        (void)!write(master, bytes.data(), bytes.size());
    });
    const auto start = steady_clock::now();
    EXPECT_TRUE(port->WaitReadable(60000));
    EXPECT_LT(steady_clock::now() - start, milliseconds(30000));  // far below its limit
    device.join();
    std::string got;
    for (auto end = steady_clock::now() + kGenerous;
         got.size() < bytes.size() && steady_clock::now() < end;) {
        if (port->WaitReadable(100)) got += port->ReadAll();
    }
    EXPECT_EQ(got, bytes);
    EXPECT_FALSE(port->Failed());
}

TEST_F(PtyTest, SettingsWhileOpenAndRestoredAfterClose) {
    // Start from settings that differ from ours in every respect that matters.
    Slave([](termios& t) {
        t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
        t.c_iflag |= IXON | IXOFF | IXANY;
        cfsetispeed(&t, B1200);
        cfsetospeed(&t, B1200);
    });
    const termios before = Slave();  // as the pseudo-terminal kept them
    auto port = MakeSystemSerialPort();
    ASSERT_TRUE(port->Open(1));
    if (geteuid() == 0) {  // only a privileged process can look past the exclusive open
        const termios t = Slave();
        EXPECT_EQ(cfgetospeed(&t), B9600);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
                  static_cast<tcflag_t>(CS8 | CLOCAL | CREAD));
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    }
    EXPECT_TRUE(port->Close());
    const termios after = Slave();
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
}

TEST_F(PtyTest, HeldPortIsBusyForOtherProcessesAndNamesItsHolder) {
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto port = MakeSystemSerialPort();
        const char ok = port->Open(1) ? 'y' : 'n';
        char c;
        (void)!write(ready[1], &ok, 1);
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    EXPECT_FALSE(MakeSystemSerialPort()->Open(1));
    EXPECT_NE(ComPortHolder(1).find("PID " + std::to_string(child)), std::string::npos);
    (void)!write(done[1], "x", 1);
    waitpid(child, nullptr, 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);

    // A live UUCP lock file makes the port busy too.
    const std::string lock = "/var/lock/LCK.." + slavePath.substr(slavePath.rfind('/') + 1);
    std::ofstream(lock) << "      " << getppid() << "\n";
    if (access(lock.c_str(), F_OK) == 0) {
        EXPECT_FALSE(MakeSystemSerialPort()->Open(1));
        EXPECT_NE(ComPortHolder(1).find("PID " + std::to_string(getppid())), std::string::npos);
        std::remove(lock.c_str());
    }
    EXPECT_TRUE(MakeSystemSerialPort()->Open(1));  // free again once the holders let go
}

TEST_F(PtyTest, VanishedDeviceFailsWithoutHanging) {
    enum Probe { ByWait, ByRead, ByWrite };
    for (Probe probe : {ByWait, ByRead, ByWrite}) {
        TearDown();
        SetUp();
        auto port = MakeSystemSerialPort();
        ASSERT_TRUE(port->Open(1));
        close(master);
        master = -1;
        switch (probe) {
            case ByWait:
                EXPECT_FALSE(port->WaitReadable(60000));
                break;
            case ByRead:
                EXPECT_EQ(port->ReadAll(), "");
                break;
            case ByWrite:
                EXPECT_FALSE(port->Write("x"));
                break;
        }
        EXPECT_TRUE(port->Failed()) << probe;
        EXPECT_EQ(port->ReadAll(), "");
        EXPECT_FALSE(port->Write("x"));
        EXPECT_FALSE(port->WaitReadable(60000));
    }
}

TEST(UucpLock, OnlyALiveForeignProcessHoldsThePort) {
    char dir[] = "/tmp/fp-lock-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    const int parent = static_cast<int>(getppid());
    const struct {
        std::string content;
        int owner;
    } rows[] = {
        {std::string(reinterpret_cast<const char*>(&parent), 4), parent},  // old binary form
        {std::to_string(gone) + "\n", 0},                                  // stale
        {std::to_string(getpid()) + "\n", 0},                              // our own
        {"garbage\n", 0},
    };
    const std::string lock = std::string(dir) + "/LCK..ttyUSB0";
    for (const auto& r : rows) {
        std::ofstream(lock, std::ios::binary) << r.content;
        EXPECT_EQ(UucpLockOwner(dir, "/dev/ttyUSB0"), r.owner) << r.content;
    }
    std::remove(lock.c_str());
    rmdir(dir);
}

TEST(ComPortMapping, AdaptorsFirstInNumericOrderAndOverrides) {
    char dir[] = "/tmp/fp-dev-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    const char* const names[] = {"ttyS0",   "ttyUSB2", "ttyS1",   "ttyUSB10", "ttyACM0",
                                 "ttyUSB1", "ttyS10",  "ttyUSBx", "ttyS"};
    for (const char* n : names) std::ofstream(d + "/" + n);
    std::vector<std::string> expected;
    for (const char* n :
         {"ttyUSB1", "ttyUSB2", "ttyUSB10", "ttyACM0", "ttyS0", "ttyS1", "ttyS10"}) {
        expected.push_back(d + "/" + n);
    }
    EXPECT_EQ(SerialDeviceCandidates(d), expected);
    for (const char* n : names) std::remove((d + "/" + n).c_str());
    rmdir(dir);

    setenv("FIELDPROG_COM3", "/dev/pts/42", 1);
    EXPECT_EQ(ComPortDevicePath(3), "/dev/pts/42");
    unsetenv("FIELDPROG_COM3");
    for (int outside : {0, 5, -1}) EXPECT_EQ(ComPortDevicePath(outside), "") << outside;
}

}  // namespace
