// The file helpers: the path table, what counts as a file, temporary files.

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "FileSystem.h"
#include "TestFiles.h"
#include "clsFilingFuncs.h"

namespace {

const clsFilingFuncs f;

TEST(clsFilingFuncs, PathOperationsFollowTheirTable) {
    using Op = std::string (*)(std::string&);
    const Op ext = [](std::string& s) { return f.FileExtension(s); };
    const Op stem = [](std::string& s) { return f.FileNameNoExtension(s); };
    const Op path = [](std::string& s) { return f.PathName(s); };
    const Op name = [](std::string& s) { return f.FileName(s); };
    const Op sep = [](std::string& s) { return f.AppendPathSeperator(s); };  // changes s too
    const Op exe = [](std::string& s) { return f.AppendExtensionIfNotPresent(s, "EXE"); };
    const Op exeLower = [](std::string& s) { return f.AppendExtensionIfNotPresent(s, "exe"); };
    const Op inWork = [](std::string& s) {
        std::string folder = " C:\\work ";
        return f.FileInAPath(s, folder);
    };
    const std::tuple<Op, std::string, std::string> rows[] = {
        // clang-format off
        {ext, "a.b.bin", "BIN"}, {ext, "file", ""}, {ext, "file.", ""}, {ext, ".bin", "BIN"},
        {ext, "C:\\dir.old\\file", "OLD\\FILE"}, {stem, "C:\\dir\\a.b.bin", "a"},
        {stem, "C:\\dir.old\\file", "file"}, {stem, "/srv/FP1.BIN", "FP1"},
        {path, "C:\\dir\\file.bin", "C:\\dir\\"}, {path, "/srv/a\\b.bin", "/srv/a\\"},
        {path, "file.bin", ""}, {name, "C:\\dir\\", ""}, {name, "C:/dir/file.bin", "file.bin"},
        {name, "file.bin", "file.bin"}, {sep, "  C:\\dir  ", "C:\\dir\\"}, {sep, "out", "out/"},
        {sep, "C:/dir", "C:/dir/"}, {sep, "C:\\dir\\", "C:\\dir\\"}, {sep, "", ""},
        {exe, "out.exe", "out.exe"}, {exeLower, "out.exe", "out.exe.exe"}, {exe, "out", "out.EXE"},
        {inWork, "file.bin", "C:\\work\\file.bin"}, {inWork, "D:\\x\\file.bin", "D:\\x\\file.bin"},
        // clang-format on
    };
    for (const auto& [op, input, expected] : rows) {
        std::string text = input;
        EXPECT_EQ(op(text), expected) << "from '" << input << "'";
        EXPECT_EQ(text, op == sep ? expected : input) << "from '" << input << "'";
    }
}

// New temporary files go into the temporary folder (private to their owner: platform test).
TEST(clsFilingFuncs, FileExistSeesOnlyVisibleRegularFilesAndTempFilesAreNew) {
    TempFolderScope dir;
    for (const char* name : {"fw.bin", ".fw.bin"}) WriteBytes(dir / name, "x");
    EXPECT_TRUE(f.FileExist(dir / "fw.bin"));
#ifdef _WIN32
    const std::string device = "NUL";  // and no file name can hold a '*' there
#else
    const std::string device = "/dev/null";
    WriteBytes(dir / "a*", "x");
    EXPECT_TRUE(f.FileExist(dir / "a*"));
#endif
    for (const std::string& path :
         {dir / "fw*", std::string(), dir / "missing", dir.Path(), dir / ".fw.bin", device})
        EXPECT_FALSE(f.FileExist(path)) << path;  // patterns are not expanded
    const std::string separator(1, FileSystem::Separator());
    EXPECT_EQ(f.TempPath(), dir.Path() + separator);
    const std::string first = f.TempFileName(dir.Path(), "ZAP");
    const std::string second = f.TempFileName(dir.Path() + separator, "ZAP");
    EXPECT_NE(first, second);
    EXPECT_EQ(first.substr(0, dir.Path().size() + 4), dir.Path() + separator + "ZAP");
    EXPECT_EQ(ReadBytes(first), "");
    EXPECT_EQ(f.TempFileName(dir / "no-such-folder", "ZAP"), "");
}

}  // namespace

// An append after a short write's fragment starts its own line; each lock is let go (Windows too).
TEST(FileSystemAppend, ALineAfterAFragmentStartsALineOfItsOwn) {
    TempDir dir;
    WriteBytes(dir / "log", "cut");
    for (const char* line : {"a\n", "b\n"})
        EXPECT_TRUE(FileSystem::AppendLine(dir / "log", line, 0644, 1000))
            << FileSystem::LastError();
    EXPECT_EQ(ReadBytes(dir / "log"), "cut\na\nb\n");
}
