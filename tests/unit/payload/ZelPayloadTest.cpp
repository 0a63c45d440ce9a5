// The payload container: building a downloader, reading it back, the marker nowhere else.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "TestFiles.h"
#include "ZelEncode.h"
#include "ZelPayload.h"

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

Files ListOf(const ZelPayload& payload) {
    Files files;
    for (std::int32_t i = 1; i <= payload.FileCount(); ++i)
        files.emplace_back(payload.File(i)->FileName(), payload.File(i)->FileData());
    return files;
}

// An executable image holding every byte value, delimiters too, but no marker.
std::string Image() {
    std::string image = "\x7f ELF image -=+(a:b)+=-\r\n";
    for (int v = 0; v < 256; ++v) image.push_back(static_cast<char>(v));
    return image;
}

std::string Head() {
    return Image() + "\r\n" + ZelPayload::Marker() + "\r\n";
}

class ZelPayloadFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        WriteBytes(exe, Image());
        FileSystem::SetPermissionBits(exe, 0755);
        std::mt19937 rng(99);
        for (char& c : binary) c = static_cast<char>(rng() & rng() & 0xFF);  // skewed like firmware
        binary.replace(100, 4, "-=+(");
        WriteBytes(dir / "FP123.bin", binary);
        WriteBytes(dir / "README.TXT", record);
    }
    bool Build(const std::string& from, std::vector<std::string> names, const std::string& out) {
        for (std::string& name : names) name = dir / name;
        return ZelPayload().BuildPayload(from, names, out);
    }

    TempDir dir;
    std::string exe = dir / "fieldprog";
    std::string binary = std::string(16384, '\0');
    std::string record = "FP123,000,BLANK,BLANK";
};

TEST_F(ZelPayloadFiles, BuiltDownloaderReadsBackItsFilesAndARebuildReplacesThem) {
    ZelPayload writer, reader;
    int yields = 0;
    writer.Yield = reader.Yield = [&] { ++yields; };
    ASSERT_TRUE(writer.BuildPayload(exe, {dir / "FP123.bin", dir / "README.TXT"}, dir / "out"));
    const std::string built = ReadBytes(dir / "out");
    EXPECT_EQ(built.substr(0, Head().size() + 4), Head() + "HE3\r");
    unsigned bits = 0;  // the execute bits are the build tool's test
    EXPECT_TRUE(FileSystem::PermissionBits(dir / "out", bits) && (bits & FileSystem::kOwnerWrite));

    reader.PayloadFile(dir / "out");
    ASSERT_TRUE(reader.GetPayload());
    EXPECT_EQ(yields, 1 + 2);  // once per build, once per entry read
    EXPECT_EQ(ListOf(reader), (Files{{"FP123.bin", binary}, {"README.TXT", record}}));
    std::string data = "untouched";
    EXPECT_FALSE(reader.GetFileByType("bin", data));
    EXPECT_FALSE(reader.GetFileByName("README", data));
    EXPECT_EQ(data, "untouched");
    EXPECT_TRUE(reader.GetFileByType("BIN", data) && data == binary);
    EXPECT_TRUE(reader.GetFileByName("readme.txt", data) && data == record);
    EXPECT_EQ(reader.File(3), nullptr);  // the spare slot
    EXPECT_THROW(reader.File(0), std::out_of_range);

    // Built from a downloader, its old block goes; onto an output, the first marker still wins.
    WriteBytes(dir / "x:y", "old");  // the name's colon ends it on reading
    ASSERT_TRUE(Build(dir / "out", {"x:y"}, dir / "second"));
    const std::string head = Image() + "\r\n-\r\n" + ZelPayload::Marker() + "\r\n";
    EXPECT_EQ(ReadBytes(dir / "second").substr(0, head.size()), head);
    ASSERT_TRUE(Build(exe, {"FP123.bin"}, dir / "second"));
    ASSERT_TRUE(reader.GetPayload(dir / "second"));
    EXPECT_EQ(ListOf(reader), (Files{{"x", "y:old"}}));
}

TEST_F(ZelPayloadFiles, MissingInputsAndBadPayloadsGiveFalse) {
    EXPECT_FALSE(Build(dir / "nothing", {"FP123.bin"}, dir / "out"));
    EXPECT_FALSE(Build(exe, {"FP123.bin", "missing.TXT"}, dir / "out"));
    EXPECT_FALSE(std::filesystem::exists(dir / "out"));
    EXPECT_FALSE(Build(exe, {"FP123.bin"}, dir / "no/folder/out"));

    ZelPayload payload;
    ASSERT_TRUE(Build(exe, {"FP123.bin", "README.TXT"}, dir / "good"));
    ASSERT_TRUE(payload.GetPayload(dir / "good"));
    std::string damaged = ReadBytes(dir / "good");
    damaged[damaged.size() - 40] ^= 0x55;
    for (const std::string& content :
         {Image(), Head(), Head() + "\r\n", damaged, Head() + "HE7\rxxxxxxxxx\r\n"}) {
        WriteBytes(dir / "bad", content);
        EXPECT_FALSE(payload.GetPayload(dir / "bad")) << content.size();
        EXPECT_EQ(payload.FileCount(), 2) << "a failed read keeps the list";
    }
    EXPECT_FALSE(payload.GetPayload(dir / "missing"));
    EXPECT_FALSE(payload.GetPayload(dir.Path()));
}

TEST(ZelPayloadScan, EntriesEndAtTheFirstColonAndCloser) {
    const std::tuple<std::string, bool, Files> cases[] = {
        {"-=+(a:1)+=--=+(b:)+=-", true, {{"a", "1"}, {"b", ""}}},
        {"-=+(f:ab)+=-cd)+=--=+(g:2)+=-", true, {{"f", "ab"}, {"g", "2"}}},
        {std::string("junk-=+(a:\r\n\0x)+=-junk", 22), true, {{"a", std::string("\r\n\0x", 4)}}},
        {"-=+(a:1)+=--=+(b:2", true, {{"a", "1"}}},  // final entry without closer
        {"no opener", true, {}},
        {"-=+()+=--=+(a:1)+=-", true, {}},  // an empty body ends the scan
        {"-=+(a:1)+=--=+(b)+=--=+(c:3)+=-", false, {{"a", "1"}}},
        {"-=+(b)+=-:", false, {}},
    };
    TempDir dir;
    for (const auto& [inner, result, files] : cases) {
        WriteBytes(dir / "exe", Head() + ZelEncode().EncodeString(inner) + "\r\n");
        ZelPayload payload;
        EXPECT_EQ(payload.GetPayload(dir / "exe"), result) << inner;
        EXPECT_EQ(ListOf(payload), files) << inner;
    }
}

// The reader takes the first marker anywhere: only a real appended payload may carry its bytes.
bool HoldsStrayMarker(const std::string& bytes, const std::string& marker) {
    const auto at = bytes.find(marker);
    return at != std::string::npos && !(at >= 2 && bytes.compare(at - 2, 2, "\r\n") == 0 &&
                                        bytes.compare(at + marker.size(), 4, "\r\nHE") == 0);
}

TEST(MarkerAbsence, NoBuiltExecutableOrLibraryHoldsTheMarker) {
    // Put together here independently, and never as one literal: this binary is scanned too.
    static volatile char shift = 1;
    std::string marker;
    for (const char c : std::string(".>,)TUBSU!QBZMPBE*,>.")) marker.push_back(char(c - shift));
    EXPECT_EQ(ZelPayload::Marker(), marker);
    EXPECT_TRUE(HoldsStrayMarker("#!/bin/sh\n# " + marker + "\n", marker));

    bool sawSelf = false, sawLibrary = false;
    std::error_code ec;
    for (std::filesystem::recursive_directory_iterator it(FP_BINARY_DIR, ec), end; it != end;
         it.increment(ec)) {
        const std::string path = it->path().string(), type = it->path().extension().string();
        if (it->path().filename() == "wineprefix") it.disable_recursion_pending();  // not ours
        unsigned bits = 0;
        const bool program = type == ".a" || type == ".exe" ||
                             (FileSystem::PermissionBits(path, bits) && (bits & 0100) != 0);
        if (!it->is_regular_file(ec) || !program) continue;
        sawSelf =
            sawSelf || std::filesystem::equivalent(path, FileSystem::RunningExecutablePath(), ec);
        sawLibrary = sawLibrary || it->path().filename() == "libfp_payload.a";
        std::string bytes;  // a file gone meanwhile reads as empty
        FileSystem::ReadWholeFile(path, bytes);
        EXPECT_FALSE(HoldsStrayMarker(bytes, marker)) << path;
    }
    EXPECT_TRUE(sawSelf && sawLibrary);
}

}  // namespace
