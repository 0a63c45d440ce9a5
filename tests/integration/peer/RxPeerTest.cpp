// fieldprog-cli against lrzsz's rx (XMODEM-CRC) from ".X" on: an unanswered ".Q" still programs.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Images.h"
#include "Subprocess.h"

namespace {

const std::map<std::string, std::string> kReplies = {
    {".V", "\r\n123456 07 08 09\r\n"}, {".K", "\r\n01 0040\r\n"}, {".C", "003F\b\b\b\b\r\n"}};

// One device: the dialogue up to ".X", then rx on the same line. Empty when all went well.
std::string Cycle(const std::string& bin, const Bytes& image) {
    TempDir dir, tmp;
    const int master = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0)
        return "no pseudo-terminal";
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);  // the line stays while it lives
    Subprocess cli({FIELDPROG_CLI_EXE, "download", "--port", name, "--wait", "60", "--image", bin},
                   {{"TMPDIR", tmp.Path()}});
    std::string typed;
    for (int quiet = 0; typed.size() < 2 || typed.substr(typed.size() - 2) != ".X";) {
        pollfd fd{master, POLLIN, 0};
        char c = 0;
        if (poll(&fd, 1, 1000) <= 0 || read(master, &c, 1) != 1) {
            if (++quiet > 60) return "no .X; the host said: " + cli.Stderr();
            if (typed.empty() && write(master, "P", 1) != 1) return "no line";  // the button
            continue;
        }
        typed += c;
        std::string answer(1, c);
        const auto reply = kReplies.find(typed.substr(typed.size() > 1 ? typed.size() - 2 : 0));
        if (reply != kReplies.end()) answer += reply->second;
        if (write(master, answer.data(), answer.size()) != ssize_t(answer.size())) return "no line";
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.Path().c_str());
    posix_spawn_file_actions_adddup2(&actions, master, 0);
    posix_spawn_file_actions_adddup2(&actions, master, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "said", O_WRONLY | O_CREAT, 0600);
    const char* argv[] = {"rx", "-c", "-X", "got", nullptr};
    pid_t rx = -1;
    const int spawned =
        posix_spawnp(&rx, "rx", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = -1;
    if (spawned == 0) waitpid(rx, &status, 0);  // rx gives up by itself within minutes
    const int code = cli.Wait(kPatienceMs);
    close(slave);
    close(master);
    const std::string said = cli.Stderr() + (dir.Entries() > 0 ? ReadBytes(dir / "said") : "");
    if (spawned != 0 || dir.Entries() < 2) return "rx did not keep a file; " + said;
    const std::string got = ReadBytes(dir / "got");
    const std::string sent = Text(Padded(image));  // rx keeps the zeros of the last block
    if (status != 0 || code != 0 || got != sent)
        return "rx " + std::to_string(status) + ", host " + std::to_string(code) + ", " +
               std::to_string(got.size()) + " bytes, " + (got == sent ? "same; " : "different; ") +
               said;
    return std::string();
}

TEST(RxPeer, ProgramsTwentyOutOfTwentyByteForByte) {
    if (RunToEnd({"/bin/sh", "-c", "command -v rx"}, kPatienceMs).code != 0)
        GTEST_SKIP() << "lrzsz's rx is not installed (scripts/setup installs it)";
    TempDir dir;
    const Bytes image = BinImage(2500);  // 20 blocks, the last one short
    WriteBytes(dir / "FW.BIN", Text(image));
    constexpr int kLanes = 5, kCycles = 4;  // in parallel: each cycle spends 5 s before ".Q"
    std::vector<std::string> failures(kLanes * kCycles);
    std::vector<std::thread> lanes;
    for (int lane = 0; lane < kLanes; ++lane)
        lanes.emplace_back([&, lane] {
            for (int k = 0; k < kCycles; ++k)
                failures[lane * kCycles + k] = Cycle(dir / "FW.BIN", image);
        });
    for (std::thread& lane : lanes) lane.join();
    for (std::size_t i = 0; i < failures.size(); ++i)
        EXPECT_EQ(failures[i], "") << "cycle " << i + 1;
}

}  // namespace
