#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ZelPayload.h"
#include "clsResFiles.h"

namespace fs = std::filesystem;

namespace {

struct RunResult {
    int code = -1;
    std::string output;  // stdout and stderr together
};

RunResult RunProgram(const std::string& exe, const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    RunResult r;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) r.output.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A field-programmer image: six zero bytes, the data length, then the data.
std::string SampleImage() {
    std::string data;
    for (int k = 0; k < 300; ++k) data.push_back(static_cast<char>((k * 37) & 0xFF));
    return std::string(6, '\0') + char(data.size() >> 8) + char(data.size() & 0xFF) + data;
}

class BuildToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "buildtool-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        bin_ = Write("FW123.BIN", SampleImage());
        downloader_ = Write("stand-in-downloader", "\x7f" "ELF pretend program image");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& bytes) {
        const fs::path p = dir_ / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }
    RunResult Build(std::vector<std::string> args) {
        args.insert(args.begin(), {"--downloader", downloader_});
        return RunProgram(FIELDPROG_BUILD_EXE, args);
    }
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
        return names;
    }

    fs::path dir_;
    std::string bin_;
    std::string downloader_;
};

TEST_F(BuildToolTest, BuiltDownloaderReadsBackWithImageAndRecord) {
    const std::string out = (dir_ / "fw123-fr").string();
    const RunResult r = Build({"--language", "1", "--description", "Euro coin set", "--output", out, bin_});
    ASSERT_EQ(r.code, 0) << r.output;
    EXPECT_NE(r.output.find("French"), std::string::npos) << r.output;

    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_EQ(ReadAll(out).rfind(ReadAll(downloader_), 0), 0u) << "the image comes first, unchanged";

    ZelPayload payload;
    ASSERT_TRUE(payload.GetPayload(out));
    ASSERT_EQ(payload.FileCount(), 2);
    EXPECT_EQ(payload.File(1)->FileName(), "FW123.BIN");
    EXPECT_EQ(payload.File(2)->FileName(), "README.TXT");

    clsResFiles res(out);
    ASSERT_TRUE(res.GetReadMeData());
    EXPECT_EQ(res.Name(), "FW123");
    EXPECT_EQ(res.Language(), 100);
    EXPECT_EQ(res.Description(), "Euro coin set");
    std::vector<std::uint8_t> image;
    ASSERT_TRUE(res.GetBinaryData(image));
    EXPECT_EQ(std::string(image.begin(), image.end()), SampleImage());

    // Nothing but the inputs and the result is left behind.
    EXPECT_EQ(Listing().size(), 3u);
}

TEST_F(BuildToolTest, ExistingOutputIsKeptUnlessReplaceIsGiven) {
    const std::string out = Write("taken", "someone else's file");
    EXPECT_EQ(Build({"--output", out, bin_}).code, 4);
    EXPECT_EQ(ReadAll(out), "someone else's file");

    ASSERT_EQ(Build({"--replace", "--language", "2", "--output", out, bin_}).code, 0);
    clsResFiles res(out);
    ASSERT_TRUE(res.GetReadMeData());
    EXPECT_EQ(res.Language(), 200);
    EXPECT_EQ(Listing().size(), 3u);
}

TEST_F(BuildToolTest, DefaultsPlaceTheOutputBesideTheBinaryAndFindTheDownloaderBesideTheBuilder) {
    // A copy of the builder with a "fieldprog" next to it, as an installation has.
    const fs::path installed = dir_ / "bin";
    fs::create_directory(installed);
    fs::copy_file(FIELDPROG_BUILD_EXE, installed / "fieldprog-build");
    fs::copy_file(downloader_, installed / "fieldprog");
    const RunResult r = RunProgram((installed / "fieldprog-build").string(), {bin_});
    ASSERT_EQ(r.code, 0) << r.output;

    clsResFiles res((dir_ / "FW123").string());
    ASSERT_TRUE(res.GetReadMeData());
    EXPECT_EQ(res.Name(), "FW123");
    EXPECT_EQ(res.Language(), 0);
    EXPECT_EQ(res.Description(), "BLANK");
}

TEST_F(BuildToolTest, RefusesBadInputWithItsOwnExitCode) {
    const std::string out = (dir_ / "never").string();
    const std::string closer = Write("CUT.BIN", std::string("ab)+=-cd"));
    const std::string tiny = Write("TINY.BIN", "x");
    const std::string hex = Write("FW.HEX", SampleImage());
    const struct {
        std::vector<std::string> args;
        int code;
    } rows[] = {
        {{"--language", "3", bin_}, 2},
        {{"--description", "Loads, then sets", bin_}, 2},
        {{"--description", "Tab\there", bin_}, 2},
        {{"--bogus", bin_}, 2},
        {{}, 2},
        {{hex}, 2},
        {{(dir_ / "MISSING.BIN").string()}, 3},
        {{tiny}, 3},
        {{closer}, 3},
        {{"--downloader", (dir_ / "no-such-program").string(), bin_}, 3},
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), {"--output", out});
        const RunResult r = Build(args);
        EXPECT_EQ(r.code, row.code) << r.output;
        EXPECT_FALSE(r.output.empty());
        EXPECT_FALSE(fs::exists(out));
    }
    // The output must never replace one of the inputs.
    EXPECT_EQ(Build({"--replace", "--output", bin_, bin_}).code, 2);
    EXPECT_EQ(ReadAll(bin_), SampleImage());
}

}  // namespace
