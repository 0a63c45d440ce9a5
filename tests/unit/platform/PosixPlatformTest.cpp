// The POSIX backends on real files and pseudo-terminals: serial port, lock files, COM mapping.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdarg>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Images.h"
#include "PosixPorts.h"
#include "SerialPort.h"
#include "TestFiles.h"

namespace {
// A pty has no modem lines: this ioctl keeps those asked for (RTS up, as a former program left).
int gModemLines = TIOCM_RTS;
}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) __THROW {
    va_list args;
    va_start(args, request);
    void* const arg = va_arg(args, void*);
    va_end(args);
    if (request != TIOCMBIS && request != TIOCMBIC && request != TIOCMSET)
        return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
    const int bits = *static_cast<int*>(arg);
    gModemLines = request == TIOCMSET   ? bits
                  : request == TIOCMBIS ? gModemLines | bits
                                        : gModemLines & ~bits;
    return 0;
}

namespace {

// A pseudo-terminal whose slave side is reachable as COM 1.
class PtyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int slave = -1;
        char name[256] = {};
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        close(slave);
        com1.reset();  // the former value must come back first
        com1 = std::make_unique<ScopedEnv>("FIELDPROG_COM1", slavePath = name);
    }
    void TearDown() override {
        if (master >= 0) close(master);
        master = -1;
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
    std::unique_ptr<ScopedEnv> com1;
};

// Received bytes arrive untranslated and a wait wakes on them (what goes out, the transfers').
TEST_F(PtyTest, SettingsAndRawBytesWhileOpenAndRestoredAfterClose) {
    // Start from settings that differ from ours in every respect that matters.
    Slave([](termios& t) {
        t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
        t.c_iflag |= IXON | IXOFF | IXANY;
        cfsetispeed(&t, B1200);
        cfsetospeed(&t, B1200);
    });
    const termios before = Slave();  // as the pseudo-terminal kept them
    auto port = MakeSystemSerialPort();
    ASSERT_TRUE(port->Open(1).Opened());
    termios t{};
    ASSERT_EQ(tcgetattr(master, &t), 0);  // the master side shows the slave's settings
    const std::pair<const char*, bool> rows[] = {
        {"9600 baud", cfgetispeed(&t) == B9600 && cfgetospeed(&t) == B9600},
        {"8N1", (t.c_cflag & (CSIZE | PARENB | CSTOPB)) == CS8},
        {"receiver on, modem status ignored", (t.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL)},
        {"no RTS/CTS handshake", (t.c_cflag & CRTSCTS) == 0},
        {"no XON/XOFF", (t.c_iflag & (IXON | IXOFF | IXANY)) == 0},
        {"input binary",
         (t.c_iflag & (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | INPCK)) == 0},
        {"output binary", (t.c_oflag & OPOST) == 0},
        {"no line editing or echo", (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0},
        {"DTR raised, RTS not", gModemLines == TIOCM_DTR},
    };
    for (const auto& [what, met] : rows) EXPECT_TRUE(met) << what;
    EXPECT_FALSE(port->WaitReadable(20));
    // NUL, CR, LF, XON, XOFF and high bytes pass as they are: raw mode, no flow control.
    const std::string bytes("\0\r\n\x11\x13\xff\x7f abc", 11);
    std::thread device([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)!write(master, bytes.data(), bytes.size());
    });
    EXPECT_TRUE(port->WaitReadable(60000));
    device.join();
    std::string got;
    while (got.size() < bytes.size() && port->WaitReadable(5000)) got += port->ReadAll();
    EXPECT_EQ(got, bytes);
    EXPECT_FALSE(port->Failed());
    EXPECT_TRUE(port->Close());
    const termios after = Slave();
    EXPECT_EQ(std::tie(after.c_iflag, after.c_cflag, after.c_lflag),
              std::tie(before.c_iflag, before.c_cflag, before.c_lflag));
}

TEST_F(PtyTest, OpenSaysWhyItFailed) {
    // A second opener meets the first one's lock; another process's is the fault matrix's.
    auto first = MakeSystemSerialPort();
    ASSERT_TRUE(first->Open(1).Opened());
    EXPECT_EQ(MakeSystemSerialPort()->OpenDevice(slavePath).status, PortOpenStatus::Busy);
    EXPECT_EQ(first->OpenDevice(slavePath).status, PortOpenStatus::Busy);  // already open
    first->Close();
    EXPECT_TRUE(MakeSystemSerialPort()->OpenDevice(slavePath).Opened()) << "the port stayed held";

    EXPECT_EQ(MakeSystemSerialPort()->OpenDevice("/dev/null").status, PortOpenStatus::NotSerial);
    EXPECT_EQ(MakeSystemSerialPort()->OpenDevice("/dev/ttyNoSuchPort9").status,
              PortOpenStatus::NoDevice);
    EXPECT_EQ(MakeSystemSerialPort()->Open(257).status, PortOpenStatus::NoDevice);

    // Held keeps out any program; not allowed is not "busy". As root, the child is nobody.
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() == 0 && nobody == nullptr) GTEST_SKIP() << "running as root, no user nobody";
    auto held = MakeSystemSerialPort();
    ASSERT_TRUE(held->OpenDevice(slavePath).Opened());
    ASSERT_TRUE(geteuid() != 0 || chown(slavePath.c_str(), nobody->pw_uid, nobody->pw_gid) == 0);
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0))
            _exit(3);
        if (open(slavePath.c_str(), O_RDWR | O_NOCTTY) >= 0 || errno != EBUSY) _exit(4);
        if (chmod(slavePath.c_str(), 0) != 0) _exit(5);
        const PortOpenResult refused = MakeSystemSerialPort()->OpenDevice(slavePath);
        if (refused.status != PortOpenStatus::NoPermission) _exit(1);
        _exit(DescribePortOpen(refused).find("permission denied; ") == std::string::npos ? 2 : 0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "1: not NoPermission, 2: not said so, 3: not nobody, 4: not held";
}

// Whichever call meets the hang-up first marks the port failed; all fail from then on.
TEST_F(PtyTest, VanishedDeviceFailsWithoutHanging) {
    for (int probe = 0; probe < 3; ++probe) {
        TearDown();
        SetUp();
        auto port = MakeSystemSerialPort();
        ASSERT_TRUE(port->Open(1).Opened());
        TearDown();  // the device side hangs up
        const bool worked = probe == 0   ? port->WaitReadable(60000)
                            : probe == 1 ? !port->ReadAll().empty()
                                         : port->Write("x");
        EXPECT_TRUE(!worked && port->Failed()) << probe;
        EXPECT_TRUE(port->ReadAll().empty() && !port->Write("x") && !port->WaitReadable(60000));
    }
}

// A lock holds its pid as text or 4 binary bytes; a binary pid with a digit low byte is not text.
TEST(UucpLock, OnlyALiveForeignProcessHoldsThePortInEitherForm) {
    TempDir dir;
    pid_t holder = -1, gone = -1;  // a live child with a digit as its pid's lowest byte; a dead one
    for (int tries = 0; tries < 2048 && (holder < 0 || gone < 0); ++tries) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            for (;;) pause();
        if (holder < 0 && (child & 0xFF) >= '0' && (child & 0xFF) <= '9') {
            holder = child;
        } else {
            kill(child, SIGKILL);
            waitpid(gone = child, nullptr, 0);
        }
    }
    ASSERT_GT(holder, 0);
    const auto binary = [](pid_t pid) { return std::string(reinterpret_cast<char*>(&pid), 4); };
    const std::string digits = std::to_string(holder);
    const std::pair<std::string, int> rows[] = {
        {binary(holder), holder},
        {std::string(10 - digits.size(), ' ') + digits + "\n", holder},
        {binary(gone), 0},
        {std::to_string(gone) + "\n", 0},
        {std::to_string(getpid()) + "\n", 0},
        {"garbage\n", 0}};
    for (const auto& [content, owner] : rows) {
        WriteBytes(dir / "LCK..ttyUSB0", content);
        EXPECT_EQ(UucpLockOwner(dir.Path(), "/dev/ttyUSB0"), owner) << content.size() << " bytes";
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

// COM n: adaptors first, in any order; above COM 4 only adaptors and ports with a UART.
TEST(ComPortMapping, AdaptorsFirstAndOnlyPresentPortsBeyondTheFourth) {
    ScopedEnv com1("FIELDPROG_COM1", ""), com2("FIELDPROG_COM2", ""), com3("FIELDPROG_COM3", "");
    TempDir dev, sys;
    const DeviceFolders folders{dev.Path(), sys.Path()};
    for (auto n : {"ttyS0", "ttyACM0", "ttyUSB0", "ttyUSBx", "ttyS"}) WriteBytes(dev / n, "");
    EXPECT_EQ(ComPortDevicePath(1, folders), dev / "ttyUSB0");
    EXPECT_EQ(ComPortDevicePath(2, folders), dev / "ttyACM0");
    EXPECT_EQ(ComPortDevicePath(3, folders), dev / "ttyS0");
    EXPECT_EQ(ComPortDevicePath(4, folders), "");
    for (int outside : {0, -1, 257}) EXPECT_EQ(ComPortDevicePath(outside, folders), "") << outside;

    for (auto n : {"ttyUSB10", "ttyUSB2", "ttyACM1", "ttyS1", "ttyS2"}) WriteBytes(dev / n, "");
    for (const auto& [node, uart] : {std::pair{"ttyS0", "4"}, {"ttyS1", "4"}, {"ttyS2", "0"}}) {
        mkdir((sys / node).c_str(), 0700);
        WriteBytes(sys / node + "/type", std::string(uart) + "\n");
    }
    // USB0 USB2 USB10 ACM0 | ACM1 (5), S0 (6, a UART), S1 (7, a UART), S2 (8, none)
    EXPECT_EQ(ComPortDevicePath(3, folders), dev / "ttyUSB10");
    EXPECT_EQ(PresentComPortsAbove4(folders), (std::vector<int>{5, 6, 7}));
}

// A size limit (in a child) fails the append half-way: the downloader is cut back as it was.
TEST(Files, HalfWrittenPayloadIsCutBackAndTempFilesAreTheOwnersOnly) {
    ScopedEnv unset("TMPDIR", "");
    EXPECT_EQ(FileSystem::TempFolder(), "/tmp/");
    TempDir dir;
    WriteBytes(dir / "exe", std::string(4000, 'x'));
    WriteBytes(dir / "A.BIN", Text(Noise(3000)));  // does not compress: outgrows the limit
    WriteBytes(dir / "out", "kept");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{5000, 5000};
        setrlimit(RLIMIT_FSIZE, &limit);
        _exit(ZelPayload().BuildPayload(dir / "exe", {dir / "A.BIN"}, dir / "out") ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the build did not fail";
    EXPECT_EQ(ReadBytes(dir / "out"), "kept");

    const std::string temp = FileSystem::NewPrivateFile(dir.Path(), "ZAP");
    unsigned bits = 0;
    ASSERT_TRUE(FileSystem::PermissionBits(temp, bits));
    EXPECT_EQ(bits, 0600u);
}

// Appends of two processes of two threads stay whole after a fragment; a held lock bounds a wait.
TEST(Files, SharedAppendsAreLockedWholeLinesAfterAFragment) {
    TempDir dir;
    const std::string log = dir / "shared.log", line = std::string(300, 'r') + "\n";
    WriteBytes(log, "cut short");
    const auto append = [&] {  // 500 lines
        for (int i = 0; i < 500; ++i) FileSystem::AppendLine(log, line, 0644, 60000);
    };
    const pid_t writer = fork();
    std::thread other(append);
    append();
    other.join();
    if (writer == 0) _exit(0);
    ASSERT_EQ(waitpid(writer, nullptr, 0), writer);
    int held[2];
    ASSERT_EQ(pipe(held), 0);
    const pid_t holder = fork();
    if (holder == 0) {  // holds the lock until killed
        struct flock lock {};
        lock.l_type = F_WRLCK;
        if (fcntl(open(log.c_str(), O_RDWR), F_SETLKW, &lock) == 0)
            std::ignore = write(held[1], "L", 1);
        pause();
    }
    char c = 0;
    ASSERT_EQ(read(held[0], &c, 1), 1);
    EXPECT_FALSE(FileSystem::AppendLine(log, line, 0644, 300));
    EXPECT_NE(FileSystem::LastError().find("locked by another writer"), std::string::npos);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(FileSystem::AppendLine(log, line, 0644, 60000)) << FileSystem::LastError();
    std::string expected = "cut short\n";
    for (int i = 0; i < 2001; ++i) expected += line;
    EXPECT_TRUE(ReadBytes(log) == expected) << "lines lost, cut or interleaved";
    close(held[0]);
    close(held[1]);
}

}  // namespace
