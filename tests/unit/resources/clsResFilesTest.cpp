#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "StringTable.h"
#include "ZelPayload.h"
#include "clsResFiles.h"

namespace fs = std::filesystem;

namespace {

// Builds real downloaders (a stand-in image plus a payload) in a private temporary folder.
class ResFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "resfiles-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        exe_ = Write("image", "\x7f" "ELF stand-in image\r\n");
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& bytes) {
        const fs::path sub = dir_ / ("in" + std::to_string(++counter_));
        fs::create_directory(sub);
        const std::string path = (sub / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    // Files are given as name/content pairs and go into the payload in that order.
    std::string Build(const std::vector<std::pair<std::string, std::string>>& files) {
        std::vector<std::string> paths;
        for (const auto& f : files) paths.push_back(Write(f.first, f.second));
        const std::string out = (dir_ / ("out" + std::to_string(++counter_))).string();
        ZelPayload writer;
        EXPECT_TRUE(writer.BuildPayload(exe_, paths, out));
        return out;
    }
    std::string BuildWithRecord(const std::string& record) {
        return Build({{"FW.BIN", "\x01\x02\x03"}, {"README.TXT", record}});
    }

    fs::path dir_;
    std::string exe_;
    int counter_ = 0;
};

TEST_F(ResFilesTest, RecordRules) {
    const struct {
        const char* record;
        std::int16_t presetLanguage;
        bool ok;
        const char* name;
        const char* description;
        std::int16_t language;
    } rows[] = {
        {"FW123,000,Loads euros,BLANK", 100, true, "FW123", "Loads euros", 0},
        {"FW123,001,Charge,BLANK", 0, true, "FW123", "Charge", 100},
        {"FW123,002,Lädt,BLANK", 0, true, "FW123", "Ldt", 200},  // accents are dropped
        {"FW123,2,\tDesc\x7f,BLANK\r\n", 0, true, "FW123", "Desc", 200},
        {"FW123, 1 ,Desc,BLANK,extra", 0, true, "FW123", "Desc", 100},
        {"FW123,000,Loads, then sets,BLANK", 0, true, "FW123", "Loads", 0},
        {"FW123,002,Desc", 0, false, "FW123", "Desc", 0},   // three fields
        {"FW123,5,Desc,BLANK", 100, false, "FW123", "Desc", 0},  // unknown language: English
        {"FW123,-1,Desc,BLANK", 100, false, "FW123", "Desc", 0},
        {"FW123,two,Desc,BLANK", 100, false, "FW123", "old", 100},
        {"FW123,,Desc,BLANK", 100, false, "FW123", "old", 100},
        {"FW123,1x,Desc,BLANK", 100, false, "FW123", "old", 100},
        {"FW123,99999,Desc,BLANK", 100, false, "FW123", "old", 100},
        {"FW123", 100, false, "FW123", "old", 100},
        {"\r\n", 100, false, "old", "old", 100},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.record);
        clsResFiles res(BuildWithRecord(r.record));
        res.Name("old");
        res.Description("old");
        res.Language(r.presetLanguage);
        EXPECT_EQ(res.GetReadMeData(), r.ok);
        EXPECT_EQ(res.Name(), r.name);
        EXPECT_EQ(res.Description(), r.description);
        EXPECT_EQ(res.Language(), r.language);
    }
}

TEST_F(ResFilesTest, ReadmeNameIsMatchedIgnoringCaseAndSelectsTheLanguageBlock) {
    clsResFiles res(Build({{"fw.bin", "ab"}, {"ReadMe.txt", "X,002,Y,Z"}}));
    ASSERT_TRUE(res.GetReadMeData());
    EXPECT_EQ(res.Name(), "X");
    EXPECT_EQ(LoadResString(169 + res.Language()), "W\u00e4hlen Sie bitte einen Kommunikationkanal aus.");
}

TEST_F(ResFilesTest, PayloadWithoutReadmeLeavesMembersAlone) {
    clsResFiles res(Build({{"FW.BIN", "ab"}}));
    res.Name("keep");
    EXPECT_TRUE(res.GetReadMeData());
    EXPECT_EQ(res.Name(), "keep");
    EXPECT_EQ(res.Language(), 0);
}

TEST_F(ResFilesTest, NoPayloadOrNoFile) {
    EXPECT_FALSE(clsResFiles(exe_).GetReadMeData());
    EXPECT_FALSE(clsResFiles((dir_ / "missing").string()).GetReadMeData());
    // By default the running program (found through the system) is read; this one has no payload.
    EXPECT_TRUE(fs::equivalent(clsResFiles::RunningExecutablePath(), "/proc/self/exe"));
    EXPECT_FALSE(clsResFiles().GetReadMeData());
}

TEST_F(ResFilesTest, BinaryDataIsTheFirstFileWithBinInItsName) {
    clsResFiles res(Build({{"notes.txt", "no"}, {"MY.BIN.TXT", std::string("\x00\xff\r\n", 4)},
                           {"OTHER.BIN", "later"}, {"README.TXT", "MY,000,D,B"}}));
    ASSERT_TRUE(res.GetReadMeData());
    std::vector<std::uint8_t> data;
    EXPECT_TRUE(res.GetBinaryData(data));
    EXPECT_EQ(data, (std::vector<std::uint8_t>{0x00, 0xFF, 0x0D, 0x0A}));
}

TEST_F(ResFilesTest, BinaryDataRefusedWhenMissingOrTooShort) {
    const struct {
        const char* label;
        std::vector<std::pair<std::string, std::string>> files;
    } rows[] = {
        {"no .BIN", {{"README.TXT", "A,0,B,C"}}},
        {"one byte", {{"ONE.BIN", "x"}, {"README.TXT", "A,0,B,C"}}},
        {"empty", {{"EMPTY.BIN", ""}, {"README.TXT", "A,0,B,C"}}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.label);
        clsResFiles res(Build(r.files));
        ASSERT_TRUE(res.GetReadMeData());
        std::vector<std::uint8_t> data{1, 2, 3};
        EXPECT_FALSE(res.GetBinaryData(data));
        EXPECT_LE(data.size(), 1u);
    }
    // Without a loaded payload there is nothing to hand out.
    std::vector<std::uint8_t> data;
    EXPECT_FALSE(clsResFiles(BuildWithRecord("A,0,B,C")).GetBinaryData(data));
}

}  // namespace
