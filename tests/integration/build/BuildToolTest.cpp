// fieldprog-build run as a process: what it builds, where, and what it refuses.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "ClsCRC.h"
#include "Subprocess.h"
#include "TestFiles.h"
#include "ZelPayload.h"
#include "clsResFiles.h"

namespace fs = std::filesystem;

namespace {

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
        return RunToEnd(args, kPatienceMs);
    }
    static RunResult Show(std::vector<std::string> args) {
        args.insert(args.begin(), FIELDPROG_BUILD_EXE);
        return RunToEnd(args, kPatienceMs);
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
    const RunResult r = RunToEnd({dir / "bin/fieldprog-build", bin}, kPatienceMs);
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

// What a downloader made from a Linux or a Windows program carries, read without a device.
TEST_F(BuildToolTest, ShowTellsWhatADownloaderCarriesAndExtractGivesTheImageBack) {
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X",
                  static_cast<std::uint16_t>(ClsCRC().CRC16(
                      reinterpret_cast<const std::uint8_t*>(kImage.data()), kImage.size())));
    WriteBytes(dir / "windows-program", std::string("MZ\x90\0 pretend Windows program", 28));
    for (const std::string& program : {downloader, dir / "windows-program"}) {
        const std::string out = dir / "FW123.exe", into = dir / "into";
        ASSERT_EQ(Show({"--replace", "--downloader", program, "-l", "1", "-d", "Euro coin set",
                        "-o", out, bin})
                      .code,
                  0);
        const RunResult text = Show({"--show", out});
        EXPECT_EQ(text.code, 0) << text.err;
        for (const std::string& line : std::vector<std::string>{
                 "name:        FW123\n", "language:    1 (French)\n",
                 "description: Euro coin set\n", "image:       FW123.BIN\n", "file bytes:  13\n",
                 "data bytes:  5\n", "CRC-16:      " + std::string(crc) + " ",
                 "payload:     intact\n"})
            EXPECT_NE(text.out.find(line), std::string::npos) << line << " in " << text.out;

        fs::remove_all(into);
        fs::create_directory(into);
        const RunResult json = Show({"--extract", into, "--json", out});
        EXPECT_EQ(json.code, 0) << json.err;
        EXPECT_EQ(json.out,
                  "{\"payload\":\"intact\",\"record\":\"valid\",\"name\":\"FW123\",\"language\":1,"
                  "\"language_name\":\"French\",\"description\":\"Euro coin set\",\"image\":{"
                  "\"file_name\":\"FW123.BIN\",\"file_bytes\":13,\"data_bytes\":5,\"crc16\":\"" +
                      std::string(crc) + "\",\"problem\":null},\"extracted\":\"" + into +
                      "/FW123.BIN\"}\n");
        EXPECT_EQ(ReadBytes(into + "/FW123.BIN"), kImage);
        // An extracted file is kept unless --replace is given, like a built downloader.
        EXPECT_EQ(Show({"--extract", into, out}).code, 4);
        EXPECT_EQ(Show({"--extract", into, "--replace", out}).code, 0);
        EXPECT_EQ(fs::directory_iterator(into)->path().filename(), "FW123.BIN");
    }
}

TEST_F(BuildToolTest, ShowAndExtractRefuseWhatIsNoIntactDownloaderWithItsOwnExitCode) {
    const std::string good = dir / "good", into = dir / "into";
    ASSERT_EQ(Build({"--output", good, bin}).code, 0);
    std::string bytes = ReadBytes(good);
    WriteBytes(dir / "cut", bytes.substr(0, bytes.size() - 20));
    bytes[bytes.size() - 30] ^= 0x55;
    WriteBytes(dir / "flipped", bytes);
    // Payloads no builder makes: names leaving the folder or naming a device, a cut image.
    int made = 0;
    auto crafted = [&](const std::string& name, const std::string& data) {
        const std::string path = dir / ("crafted" + std::to_string(++made));
        ZelPayload().BuildPayloadFrom(downloader, {{name, data}, {"README.TXT", "F,0,D,X"}}, path);
        return path;
    };
    fs::create_directory(into);
    const struct {
        std::vector<std::string> args;
        int code;
        const char* says;
    } rows[] = {
        {{"--show", bin}, 6, "is not a downloader"},
        {{"--show", dir / "cut"}, 7, "damaged downloader"},
        {{"--show", "--json", dir / "flipped"}, 7, "damaged downloader"},
        {{"--show", dir / "missing"}, 3, "no such file"},
        {{"--extract", into, crafted("../FW.BIN", kImage)}, 3, "not a safe file name"},
        {{"--extract", into, crafted("NUL.BIN", kImage)}, 3, "not a safe file name"},
        {{"--extract", into, crafted("FW.BIN", kImage.substr(0, 12))}, 7, "is damaged"},
        {{"--extract", dir / "no-folder", good}, 2, "not a folder"},
        {{"--show", "--language", "1", good}, 2, "only goes with a build"},
    };
    for (const auto& row : rows) {
        const RunResult r = Show(row.args);
        EXPECT_EQ(r.code, row.code) << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
    }
    EXPECT_EQ(Show({"--show", "--json", dir / "cut"}).out.rfind("{\"payload\":\"damaged\",", 0),
              0u);
    EXPECT_TRUE(fs::is_empty(into));
    EXPECT_FALSE(fs::exists(dir / "FW.BIN"));
}
