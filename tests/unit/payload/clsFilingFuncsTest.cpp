#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "TestFiles.h"
#include "clsFilingFuncs.h"

namespace {

TEST(clsFilingFuncs, PathOperationsFollowTheirTable) {
    const clsFilingFuncs f;
    const struct {
        char op;  // E extension, N name without extension, P path, F file name, S separator,
                  // X extension "EXE" / x "exe" appended, I file in folder " C:\work "
        std::string input, expected;
    } rows[] = {
        {'E', "a.b.bin", "BIN"},
        {'E', "file", ""},
        {'E', "x", ""},
        {'E', "file.", ""},
        {'E', ".bin", "BIN"},
        {'E', "C:\\dir.old\\file", "OLD\\FILE"},
        {'N', "C:\\dir\\a.b.bin", "a"},
        {'N', "C:\\dir.old\\file", "file"},
        {'N', "/srv/FP1.BIN", "FP1"},
        {'P', "C:\\dir\\file.bin", "C:\\dir\\"},
        {'P', "/srv/a\\b.bin", "/srv/a\\"},
        {'P', "file.bin", ""},
        {'F', "C:\\dir\\", ""},
        {'F', "C:/dir/file.bin", "file.bin"},
        {'F', "file.bin", "file.bin"},
        {'S', "  C:\\dir  ", "C:\\dir\\"},
        {'S', "C:/dir", "C:/dir/"},
        {'S', "C:\\dir\\", "C:\\dir\\"},
        {'S', "", ""},
        {'S', "out", "out/"},
        {'X', "out.exe", "out.exe"},
        {'x', "out.exe", "out.exe.exe"},
        {'X', "out", "out.EXE"},
        {'I', "file.bin", "C:\\work\\file.bin"},
        {'I', "D:\\x\\file.bin", "D:\\x\\file.bin"},
    };
    for (const auto& row : rows) {
        std::string text = row.input;
        std::string folder = " C:\\work ";
        std::string got;
        switch (row.op) {
            case 'E':
                got = f.FileExtension(text);
                break;
            case 'N':
                got = f.FileNameNoExtension(text);
                break;
            case 'P':
                got = f.PathName(text);
                break;
            case 'F':
                got = f.FileName(text);
                break;
            case 'S':
                got = f.AppendPathSeperator(text);
                break;
            case 'X':
                got = f.AppendExtensionIfNotPresent(text, "EXE");
                break;
            case 'x':
                got = f.AppendExtensionIfNotPresent(text, "exe");
                break;
            case 'I':
                got = f.FileInAPath(text, folder);
                break;
        }
        EXPECT_EQ(got, row.expected) << row.op << " of '" << row.input << "'";
        if (row.op == 'S') {
            EXPECT_EQ(text, row.expected) << "the caller's text is changed too";
        }
    }
}

TEST(clsFilingFuncs, FileExistSeesOnlyVisibleRegularFiles) {
    const clsFilingFuncs f;
    TempDir dir;
    for (const char* name : {"fw.bin", ".fw.bin", "a*"}) {
        WriteBytes(dir / name, "x");
    }
    EXPECT_TRUE(f.FileExist(dir / "fw.bin"));
    EXPECT_TRUE(f.FileExist(dir / "a*"));
    EXPECT_FALSE(f.FileExist(dir / "fw*")) << "patterns are not expanded";
    for (const std::string& path :
         {std::string(), dir / "missing", dir.Path(), dir / ".fw.bin", std::string("/dev/null")}) {
        EXPECT_FALSE(f.FileExist(path)) << path;
    }
}

TEST(clsFilingFuncs, TempFilesArePrivateAndNew) {
    const clsFilingFuncs f;
    TempDir dir;
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    ::setenv("TMPDIR", dir.Path().c_str(), 1);
    EXPECT_EQ(f.TempPath(), dir.Path() + "/");
    ::unsetenv("TMPDIR");
    EXPECT_EQ(f.TempPath(), "/tmp/");
    if (old) {
        ::setenv("TMPDIR", saved.c_str(), 1);
    }

    const mode_t oldMask = ::umask(0);  // a permissive umask must not widen the mode
    const std::string first = f.TempFileName(dir.Path(), "ZAP");
    const std::string second = f.TempFileName(dir.Path() + "/", "ZAP");
    ::umask(oldMask);
    EXPECT_NE(first, second);
    EXPECT_EQ(f.PathName(first) + f.FileName(first).substr(0, 3), dir.Path() + "/ZAP");
    struct stat info {};
    ASSERT_EQ(::stat(first.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(f.TempFileName(dir / "no-such-folder", "ZAP"), "");
}

TEST(clsFilingFuncs, NextAvailableFileNameCountsPastTakenNames) {
    const clsFilingFuncs f;
    TempDir dir;
    EXPECT_EQ(f.NextAvailableFileName(dir.Path(), "Output", "EXE"), "Output000");
    WriteBytes(dir / "Output000.EXE", "");
    WriteBytes(dir / "Output002.EXE", "");
    EXPECT_EQ(f.NextAvailableFileName(dir.Path(), "Output", "EXE"), "Output001");
    EXPECT_EQ(f.NextAvailableFileName(dir.Path() + "/", "Output", "exe"), "Output000");
    EXPECT_EQ(f.NextAvailableFileName(
                  "/out", "Output", "EXE",
                  [](const std::string& p) { return std::stoi(p.substr(11)) < 1000; }),
              "Output1000");
    std::string last;
    EXPECT_THROW(f.NextAvailableFileName("C:\\out", "Output", "EXE",
                                         [&](const std::string& p) { return last = p, true; }),
                 std::overflow_error);
    EXPECT_EQ(last, "C:\\out\\Output32767.EXE");
}

}  // namespace
