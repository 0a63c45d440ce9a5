// Every way a bench download commonly goes wrong, one row each: the real fieldprog-cli against
// fieldprog-emu with one fault switched on. Each row checks what the user is told and the exit
// code, that no transfer file is left behind, that the emulated device holds either the whole
// image or knows that it failed, and that a good device then works on the same setup.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kPatienceMs = 90000;  // upper bound for any one process: the machine is shared
constexpr std::size_t kDataBytes = 1016;  // with the header a 1 KiB .BIN: eight blocks
const char* const kPrompt = "Press the button on the top of the Field Programmer";
const char* const kNoConnect =
    "Error: Failed to connect to the Field Programmer, please check it is correctly connected.";
const char* const kNoBinary = "Error: Failed to extract binary information.";

enum class Scene { Device, HeldPort, Vanish, Unreadable, Truncated, CorruptPayload };

struct Row {
    const char* name;
    Scene scene;
    std::vector<std::string> faults;  // emulator switches
    int waitSeconds;                  // the CLI's --wait
    int exitCode;
    const char* status;   // the downloader's own status line
    const char* detail;   // the error record or the file problem
    const char* verdict;  // the emulator's verdict on device 1
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

// A child process whose output goes to files.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::string& out, const std::string& err) {
        pid_ = fork();
        if (pid_ != 0) return;
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDERR_FILENO);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    ~Process() {
        if (code_ >= 0) return;
        Signal(SIGKILL);
        Wait();
    }
    void Signal(int signo) { kill(pid_, signo); }
    // The exit code, 128 + n after signal n; a child that outlives the patience is killed.
    int Wait() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
        int status = 0;
        while (code_ < 0) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            } else if (std::chrono::steady_clock::now() > until) {
                kill(pid_, SIGKILL);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        return code_;
    }

private:
    pid_t pid_ = -1;
    int code_ = -1;
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WaitForText(const std::string& path, const std::string& text) {
    for (int ms = 0; ms < kPatienceMs; ms += 10) {
        if (ReadText(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The emulator's word on device 1: NONE when no transfer started (or it never saw a press). A
// device it calls OK must also have matched the expected image, or the image went wrong silently.
std::string VerdictOf(const std::string& emuOutput) {
    std::istringstream lines(emuOutput);
    std::string verdict = "NONE";
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("DEVICE 1 RECEIVED", 0) == 0) verdict = line.substr(line.rfind(' ') + 1);
    }
    if (verdict == "OK" && emuOutput.find("DEVICE 1 EXPECT MATCH") == std::string::npos)
        return "OK BUT MISMATCHED";
    return verdict;
}

class FaultMatrix : public ::testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "fp-faults-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        fs::create_directory(dir_ / "tmp");
        setenv("TMPDIR", (dir_ / "tmp").c_str(), 1);  // the CLI's transfer files land here
        std::string bin(6, '\0');
        bin += static_cast<char>(kDataBytes >> 8);
        bin += static_cast<char>(kDataBytes & 0xFF);
        for (std::size_t i = 0; i < kDataBytes; ++i) bin += static_cast<char>((i * 37 + 11) % 251);
        std::ofstream(Path("FW.BIN"), std::ios::binary) << bin;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // An emulator on the same symlinked port every time, as one bench cable would be.
    std::unique_ptr<Process> StartEmu(std::vector<std::string> extra, const std::string& tag) {
        std::vector<std::string> argv = {FIELDPROG_EMU_EXE, "--baud", "0", "--page-ms", "0",
                                         "--pages", "0040", "--press-after-ms", "0",
                                         "--link", Path("port"), "--expect", Path("FW.BIN")};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto emu = std::make_unique<Process>(argv, Path(tag + ".out"), Path(tag + ".emu"));
        EXPECT_TRUE(WaitForText(Path(tag + ".out"), "PORT ")) << ReadText(Path(tag + ".emu"));
        return emu;
    }
    std::unique_ptr<Process> StartCli(const std::vector<std::string>& source, int wait,
                                      const std::string& tag) {
        std::vector<std::string> argv = {FIELDPROG_CLI_EXE, "download", "--port", Path("port"),
                                         "--wait", std::to_string(wait)};
        argv.insert(argv.end(), source.begin(), source.end());
        return std::make_unique<Process>(argv, Path(tag + ".cli"), Path(tag + ".err"));
    }
    std::string StopEmu(Process& emu, const std::string& tag) {
        emu.Signal(SIGTERM);
        emu.Wait();
        return ReadText(Path(tag + ".out"));
    }
    std::vector<std::string> BadImage(Scene scene) {
        if (scene == Scene::Unreadable) {
            // Permissions do not stop root: a folder in the file's place does.
            if (geteuid() == 0) {
                fs::create_directory(Path("UNREADABLE.BIN"));
            } else {
                fs::copy_file(Path("FW.BIN"), Path("UNREADABLE.BIN"));
                chmod(Path("UNREADABLE.BIN").c_str(), 0);
            }
            return {"--image", Path("UNREADABLE.BIN")};
        }
        if (scene == Scene::Truncated) {
            std::ofstream(Path("SHORT.BIN"), std::ios::binary) << ReadText(Path("FW.BIN")).substr(0, 500);
            return {"--image", Path("SHORT.BIN")};
        }
        Process build({FIELDPROG_BUILD_EXE, "--downloader", FIELDPROG_CLI_EXE, "-o", Path("DL"),
                       Path("FW.BIN")}, Path("build.out"), Path("build.err"));
        EXPECT_EQ(build.Wait(), 0) << ReadText(Path("build.err"));
        std::string downloader = ReadText(Path("DL"));
        const std::size_t block = downloader.rfind("START PAYLOAD)+=-") + 19;
        downloader[(block + downloader.size()) / 2] ^= 0x55;  // one byte in mid-stream
        std::ofstream(Path("DL"), std::ios::binary | std::ios::trunc) << downloader;
        return {"--payload", Path("DL")};
    }
    std::vector<std::string> TransferFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_ / "tmp"))
            if (entry.path().filename().string().rfind("ZAP", 0) == 0) names.push_back(entry.path());
        return names;
    }

    fs::path dir_;
};

TEST_P(FaultMatrix, UserToldTheTruthNothingLeftAndTheNextDeviceWorks) {
    const Row& row = GetParam();
    const std::vector<std::string> good = {"--image", Path("FW.BIN")};
    std::unique_ptr<Process> emu;
    int code = -1;
    if (row.scene == Scene::HeldPort || row.scene == Scene::Vanish) {
        emu = StartEmu({"--press-after-ms", "-1"}, "fault");
        // Another downloader holds the port, or ours waits for a button that will not come.
        auto waiting = StartCli(good, row.waitSeconds, row.scene == Scene::Vanish ? "fault" : "holder");
        ASSERT_TRUE(WaitForText(Path(row.scene == Scene::Vanish ? "fault.err" : "holder.err"), kPrompt));
        if (row.scene == Scene::Vanish) {
            emu->Signal(SIGKILL);  // the pseudo-terminal goes with it
            code = waiting->Wait();
        } else {
            code = StartCli(good, row.waitSeconds, "fault")->Wait();
            waiting->Signal(SIGTERM);
            EXPECT_EQ(waiting->Wait(), 143) << ReadText(Path("holder.err"));
        }
    } else {
        emu = StartEmu(row.faults, "fault");
        const auto source = row.scene == Scene::Device ? good : BadImage(row.scene);
        code = StartCli(source, row.waitSeconds, "fault")->Wait();
    }
    const std::string said = ReadText(Path("fault.err"));
    EXPECT_EQ(code, row.exitCode) << said;
    EXPECT_NE(said.find(row.status), std::string::npos) << said;
    EXPECT_NE(said.find(row.detail), std::string::npos) << said;
    EXPECT_TRUE(TransferFiles().empty());

    // The same emulator, free again, when only the port was taken; a fresh one otherwise.
    if (row.scene == Scene::HeldPort) {
        auto cli = StartCli(good, 20, "good");
        ASSERT_TRUE(WaitForText(Path("good.err"), kPrompt));
        emu->Signal(SIGUSR1);
        code = cli->Wait();
        EXPECT_EQ(code, 0) << ReadText(Path("good.err"));
        EXPECT_EQ(VerdictOf(StopEmu(*emu, "fault")), "OK");
        EXPECT_TRUE(TransferFiles().empty());
        return;
    }
    EXPECT_EQ(VerdictOf(StopEmu(*emu, "fault")), row.verdict);
    if (row.scene != Scene::Device && row.scene != Scene::Vanish) return;  // the file is the fault
    auto fresh = StartEmu({}, "good");
    EXPECT_EQ(StartCli(good, 20, "good")->Wait(), 0) << ReadText(Path("good.err"));
    EXPECT_EQ(VerdictOf(StopEmu(*fresh, "good")), "OK");
    EXPECT_TRUE(TransferFiles().empty());
}

const char* const kClearFailed = "Failed to clear flash memory.";
const char* const kDownloadFailed = "Error: Download Failed.";

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultMatrix,
    ::testing::Values(
        Row{"no_echo", Scene::Device, {"--no-echo", "all"}, 1, 5, kNoConnect,
            "Failed to connect to field programmer. (error 103)", "NONE"},
        Row{"wrong_echo", Scene::Device, {"--wrong-echo", "C"}, 10, 6, kClearFailed,
            "Clear flash memory command not recognised. (error 130)", "NONE"},
        Row{"question_mark_answers", Scene::Device, {"--refuse", "all"}, 10, 6, kClearFailed,
            "Status command not recognised. (error 106)", "NONE"},
        Row{"no_C", Scene::Device, {"--never-c"}, 10, 7, kDownloadFailed,
            "Download binary data command not recognised. (error 144)", "FAIL"},
        Row{"NAK_at_block_3", Scene::Device, {"--nak-at", "3"}, 10, 7, kDownloadFailed,
            "Download binary data acknowledge not received. (error 143)", "FAIL"},
        Row{"silence_at_block_3", Scene::Device, {"--no-ack-at", "3"}, 10, 7, kDownloadFailed,
            "Download binary data acknowledge not received. (error 143)", "FAIL"},
        Row{"line_closed_at_block_3", Scene::Device, {"--close-at", "3"}, 10, 7, kDownloadFailed,
            "Download binary data command failed (error 145)", "FAIL"},
        Row{"port_held", Scene::HeldPort, {}, 0, 4, "is busy: held by PID",
            "(fieldprog-cli): Failed to open com port. (error 101)", "NONE"},
        Row{"device_vanished_at_button", Scene::Vanish, {}, 20, 5, kNoConnect,
            "Failed to connect to field programmer. (error 103)", "NONE"},
        Row{"unreadable_BIN", Scene::Unreadable, {}, 10, 2, kNoBinary, "UNREADABLE.BIN: ", "NONE"},
        Row{"truncated_BIN", Scene::Truncated, {}, 10, 2, kNoBinary,
            "the header counts 1016 data bytes but only 492 follow it (truncated file?)", "NONE"},
        Row{"corrupted_payload", Scene::CorruptPayload, {}, 10, 2, kNoBinary,
            "DL carries no binary file", "NONE"}),
    [](const ::testing::TestParamInfo<Row>& param) { return std::string(param.param.name); });

}  // namespace
