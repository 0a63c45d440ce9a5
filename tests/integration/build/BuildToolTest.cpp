// fieldprog-build run as a process: what it builds, where, and what it refuses.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Subprocess.h"
#include "TestFiles.h"
#include "clsResFiles.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRunMs = 60000;  // an upper bound for a loaded machine, not an expectation

// A field-programmer image: six zero bytes, the data length, then the data.
const std::string kImage("\0\0\0\0\0\0\0\x05\0\xff\r\n\x1a", 13);

class BuildToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteBytes(bin, kImage);
        WriteBytes(downloader, "\x7f ELF pretend program image");
        ::chmod(downloader.c_str(), 0555);  // read-only, as an installed program may be
    }
    RunResult Build(std::vector<std::string> args) {
        args.insert(args.begin(), {FIELDPROG_BUILD_EXE, "--downloader", downloader});
        return RunToEnd(args, kRunMs);
    }
    TempDir dir;
    std::string bin = dir / "FW123.BIN";
    std::string downloader = dir / "stand-in-downloader";
};

TEST_F(BuildToolTest, BuiltDownloaderReadsBackItsRecordAndIsReplacedOnlyOnRequest) {
    const std::string out = dir / "fw123-fr";
    const RunResult r =
        Build({"--language", "1", "--description", "Euro coin set", "--output", out, bin});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("French"), std::string::npos) << r.out;
    // The program's execute bits, and its owner may replace it.
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    clsResFiles res(out);
    ASSERT_TRUE(res.GetReadMeData());
    EXPECT_EQ(res.Name() + "|" + std::to_string(res.Language()) + "|" + res.Description(),
              "FW123|100|Euro coin set");
    EXPECT_EQ(dir.Entries(), 3) << "nothing but the inputs and the result is left behind";

    // An existing output is kept unless --replace is given.
    const std::string built = ReadBytes(out);
    EXPECT_EQ(Build({"--output", out, bin}).code, 4);
    EXPECT_EQ(ReadBytes(out), built);
    ASSERT_EQ(Build({"--replace", "--language", "2", "--output", out, bin}).code, 0);
    ASSERT_TRUE(res.GetReadMeData());
    EXPECT_EQ(res.Language(), 200);
    EXPECT_EQ(dir.Entries(), 3);
}

TEST_F(BuildToolTest, DefaultsPlaceTheOutputBesideTheBinaryAndFindTheDownloaderBesideTheBuilder) {
    // A copy of the builder with a "fieldprog" next to it, as an installation has.
    fs::create_directory(dir / "bin");
    fs::copy_file(FIELDPROG_BUILD_EXE, dir / "bin/fieldprog-build");
    fs::copy_file(downloader, dir / "bin/fieldprog");
    const RunResult r = RunToEnd({dir / "bin/fieldprog-build", bin}, kRunMs);
    ASSERT_EQ(r.code, 0) << r.err;

    clsResFiles res(dir / "FW123");
    ASSERT_TRUE(res.GetReadMeData());
    EXPECT_EQ(res.Name() + "|" + std::to_string(res.Language()) + "|" + res.Description(),
              "FW123|0|BLANK");
}

TEST_F(BuildToolTest, RefusesBadInputWithItsOwnExitCode) {
    const std::string out = dir / "never";
    WriteBytes(dir / "CUT.BIN", kImage + ")+=-");  // a good image but for the entry's closer
    WriteBytes(dir / ".FW.BIN", kImage);           // hidden
    WriteBytes(dir / "TINY.BIN", "x");
    WriteBytes(dir / "SHORT.BIN", kImage.substr(0, 12));  // one byte short
    WriteBytes(dir / "FW.HEX", kImage);
    const struct {
        std::vector<std::string> args;
        int code;
    } rows[] = {
        // clang-format off
        {{"--language", "3", bin}, 2}, {{"--bogus", bin}, 2}, {{}, 2}, {{dir / "FW.HEX"}, 2},
        {{"--description", "Loads, then sets", bin}, 2}, {{"--description", "Tab\there", bin}, 2},
        {{dir / "MISSING.BIN"}, 3}, {{dir / "TINY.BIN"}, 3}, {{dir / "CUT.BIN"}, 3},
        {{dir / "SHORT.BIN"}, 3}, {{dir / ".FW.BIN"}, 2},
        {{"--downloader", dir / "no-such-program", bin}, 3},
        // clang-format on
    };
    for (const auto& row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), {"--output", out});
        const RunResult r = Build(args);
        EXPECT_EQ(r.code, row.code) << r.err;
        EXPECT_FALSE(r.err.empty());
        EXPECT_FALSE(fs::exists(out));
    }
    // The output must never replace one of the inputs.
    EXPECT_EQ(Build({"--replace", "--output", bin, bin}).code, 2);
    EXPECT_EQ(ReadBytes(bin), kImage);
}

}  // namespace
