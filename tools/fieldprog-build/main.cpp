// fieldprog-build: makes a downloader for one field-programmer binary file.
//
// The result is a copy of the downloader program with a payload appended that holds the
// binary file and a one-line README.TXT record (name, language, description). It is
// written under a temporary name beside the output, read back and checked, and only then
// renamed into place, so a failed build never leaves a partial downloader behind.
//
// With --show or --extract it reads a downloader instead (ShowDownloader.cpp).
//
// Paths are UTF-8 throughout and reach the system only through FileSystem, so names outside
// the ANSI code page work on Windows too.

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "BinFile.h"
#include "BuildTool.h"
#include "FileSystem.h"
#include "ShowDownloader.h"
#include "Version.h"
#include "ZelPayload.h"
#include "clsResFiles.h"

namespace {

using namespace buildtool;

const char* const kFourthField = "BLANK";
const char* const kEntryCloser = ")+=-";  // ends an archive entry; data must not hold it

const char* const kUsageText =
    "Usage: fieldprog-build [options] BIN_FILE\n"
    "       fieldprog-build --show [--json] [--extract DIR [--replace]] DOWNLOADER\n"
    "\n"
    "Makes a downloader that loads BIN_FILE into a Field Programmer, or shows what a\n"
    "downloader carries (Linux or Windows, made on either system).\n"
    "\n"
    "Options:\n"
    "  -l, --language N       display language: 0 English (default), 1 French, 2 German\n"
    "  -d, --description TEXT description stored with the image (default: BLANK);\n"
    "                         printable ASCII without commas\n"
    "  -o, --output PATH      the downloader to write (default: BIN_FILE without its\n"
    "                         extension, in the same folder)\n"
    "      --downloader PATH  the downloader program to copy (default: fieldprog, or\n"
    "                         fieldprog.exe for a builder named .exe, beside this builder);\n"
    "                         from a downloader named .exe the default output gets .exe too\n"
    "      --replace          overwrite an existing output (or extracted file)\n"
    "      --show             show DOWNLOADER's record (name, language, description), its\n"
    "                         image (file name, file bytes, data bytes), the image's\n"
    "                         CRC-16 as fieldprog-cli's production log writes it, and\n"
    "                         whether the payload decodes intact\n"
    "      --json             --show as one JSON object\n"
    "      --extract DIR      write DOWNLOADER's binary file into the folder DIR, byte for\n"
    "                         byte, under its name in the payload (implies --show)\n"
    "  -h, --help             show this help\n"
    "      --version          show the version\n"
    "\n"
    "Exit codes: 0 built (or shown), 2 usage, 3 input missing or unusable, 4 output\n"
    "exists, 5 build failed (or writing the extracted file), 6 not a downloader (no\n"
    "payload), 7 damaged downloader (payload truncated or corrupt, or its image cut short).\n";

struct Options {
    std::string binFile;
    int language = 0;
    std::string description = "BLANK";
    std::string output;
    std::string downloader;
    bool replace = false;
    bool show = false;  // --show or --extract: read DOWNLOADER instead of building
    bool json = false;
    std::string extractDir;
    std::string buildOption;  // the first option that only a build takes
};

class UsageError {
  public:
    explicit UsageError(std::string text) : text_(std::move(text)) {}
    const std::string& Text() const { return text_; }

  private:
    std::string text_;
};

// The record is split at commas and loses every character outside printable ASCII when it
// is read, so a field holding one would come back different (or shift the fields after it).
std::optional<std::string> RecordFieldProblem(const std::string& text) {
    for (const char c : text) {
        const auto code = static_cast<unsigned char>(c);
        if (c == ',') return std::string("contains a comma, which would split the record's fields");
        if (code < 32 || code > 126) {
            return std::string(
                "contains a character outside printable ASCII, which the "
                "downloader drops when it reads the record");
        }
    }
    return std::nullopt;
}

Options ParseArguments(const std::vector<std::string>& argv, bool& helpOrVersion) {
    const int argc = static_cast<int>(argv.size());
    Options opt;
    helpOrVersion = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasInlineValue = false;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInlineValue = true;
            }
        }
        auto takeValue = [&]() -> std::string {
            if (hasInlineValue) return value;
            if (i + 1 >= argc) throw UsageError(arg + " needs a value");
            return argv[++i];
        };
        auto noValue = [&] {
            if (hasInlineValue) throw UsageError(arg + " takes no value");
        };
        if (opt.buildOption.empty() &&
            (arg == "-l" || arg == "--language" || arg == "-d" || arg == "--description" ||
             arg == "-o" || arg == "--output" || arg == "--downloader")) {
            opt.buildOption = arg;
        }

        if (arg == "-h" || arg == "--help") {
            std::cout << kUsageText;
            helpOrVersion = true;
            return opt;
        } else if (arg == "--version") {
            std::cout << "fieldprog-build " << fieldprog_version::kMajor << '.'
                      << fieldprog_version::kMinor << '.' << fieldprog_version::kRevision << '\n';
            helpOrVersion = true;
            return opt;
        } else if (arg == "--show") {
            noValue();
            opt.show = true;
        } else if (arg == "--json") {
            noValue();
            opt.json = true;
        } else if (arg == "--extract") {
            opt.extractDir = takeValue();
            if (opt.extractDir.empty()) throw UsageError("the folder to extract into is empty");
            opt.show = true;
        } else if (arg == "-l" || arg == "--language") {
            const std::string v = takeValue();
            if (v != "0" && v != "1" && v != "2") {
                throw UsageError("language must be 0 (English), 1 (French) or 2 (German), not \"" +
                                 v + "\"");
            }
            opt.language = v[0] - '0';
        } else if (arg == "-d" || arg == "--description") {
            opt.description = takeValue();
        } else if (arg == "-o" || arg == "--output") {
            opt.output = takeValue();
            if (opt.output.empty()) throw UsageError("the output path is empty");
        } else if (arg == "--downloader") {
            opt.downloader = takeValue();
            if (opt.downloader.empty()) throw UsageError("the downloader path is empty");
        } else if (arg == "--replace") {
            noValue();
            opt.replace = true;
        } else if (arg == "--") {
            for (++i; i < argc; ++i) positional.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError("unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (opt.show) {
        if (!opt.buildOption.empty()) throw UsageError(opt.buildOption + " only goes with a build");
        if (positional.size() != 1) throw UsageError("name one downloader to show");
        opt.binFile = positional[0];
        return opt;
    }
    if (opt.json) throw UsageError("--json goes with --show");
    if (positional.empty()) throw UsageError("no binary file given");
    if (positional.size() > 1) throw UsageError("only one binary file can be packed");
    opt.binFile = positional[0];
    if (const auto problem = RecordFieldProblem(opt.description)) {
        throw UsageError("the description " + *problem);
    }
    return opt;
}

std::string UpperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

std::string ThreeDigits(int language) {
    return "00" + std::to_string(language);
}

// Where the name in `path` starts: after the last separator this system knows ('\\' and a
// drive's ':' are separators on Windows only; elsewhere they are characters of a name).
std::size_t NameStart(const std::string& path) {
    const std::string separators = FileSystem::Separator() == '/' ? "/" : "/\\:";
    const auto at = path.find_last_of(separators);
    return at == std::string::npos ? 0 : at + 1;
}

std::string FileNameOf(const std::string& path) {
    return path.substr(NameStart(path));
}

// The folder part with its final separator; empty for a bare name.
std::string FolderOf(const std::string& path) {
    return path.substr(0, NameStart(path));
}

// The name without its last extension ("FW.v2.BIN" -> "FW.v2").
std::string StemOf(const std::string& name) {
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// ".exe" (as written) when `path` names a Windows program, else empty.
std::string ExeSuffixOf(const std::string& path) {
    const std::string tail = path.size() >= 4 ? path.substr(path.size() - 4) : std::string();
    return UpperAscii(tail) == ".EXE" ? tail : std::string();
}

bool SameFile(const std::string& a, const std::string& b) {
    std::error_code ec;
    return std::filesystem::equivalent(std::filesystem::u8path(a), std::filesystem::u8path(b), ec);
}

int Build(const Options& opt) {
    // --- Inputs -------------------------------------------------------------------------
    const std::string binName = FileNameOf(opt.binFile);
    if (binName.empty()) return Fail(kUsage, opt.binFile + " does not name a file");
    if (binName.find_first_of(":\\") != std::string::npos) {
        return Fail(kUsage,
                    "the binary file's name must not contain ':' or '\\' (inside the "
                    "payload they end or split the name): " +
                        binName);
    }
    if (binName.front() == '.') {
        return Fail(kUsage,
                    "the binary file is hidden (its name starts with '.'); hidden "
                    "files are not packed: " +
                        binName);
    }
    if (UpperAscii(binName).find(".BIN") == std::string::npos) {
        return Fail(kUsage,
                    "the binary file's name must contain \".bin\", or the downloader "
                    "will not find it: " +
                        binName);
    }
    const std::string recordName = StemOf(binName);
    if (const auto problem = RecordFieldProblem(recordName)) {
        return Fail(kUsage, "the binary file's name " + *problem + ": " + binName);
    }

    std::string binData;
    if (!FileSystem::ReadWholeFile(opt.binFile, binData)) {
        return Fail(kInputProblem, "cannot read the binary file " + opt.binFile);
    }
    if (binData.find(kEntryCloser) != std::string::npos) {
        return Fail(kInputProblem, "the binary file " + opt.binFile +
                                       " contains the bytes \")+=-\", which end an entry in the "
                                       "payload; it cannot be packed without being cut short");
    }
    // The one rule for .BIN files that every tool applies: a file shorter than its header
    // says would put the transfer's zero padding into the device; oddities are only warned of.
    const std::vector<std::uint8_t> binBytes(binData.begin(), binData.end());
    if (const std::string problem = binfile::Problem(binBytes); !problem.empty()) {
        return Fail(kInputProblem, "the binary file " + opt.binFile +
                                       " is not a field-programmer "
                                       "binary file: " +
                                       problem);
    }
    if (const std::string warning = binfile::Warning(binBytes); !warning.empty()) {
        std::cerr << "fieldprog-build: warning: " << opt.binFile << ": " << warning << '\n';
    }

    // A builder named .exe makes Windows downloaders from the fieldprog.exe beside it.
    std::string downloader = opt.downloader;
    if (downloader.empty()) {
        const std::string self = FileSystem::RunningExecutablePath();
        if (self.empty())
            return Fail(kInputProblem, "cannot find this program's folder; use --downloader");
        downloader = FolderOf(self) + "fieldprog" + ExeSuffixOf(self);
    }
    {
        std::string image;
        if (!FileSystem::IsRegularFile(downloader) ||
            !FileSystem::ReadWholeFile(downloader, image) ||
            FileNameOf(downloader).front() == '.') {
            return Fail(kInputProblem,
                        "no readable downloader program at " + downloader +
                            (opt.downloader.empty() ? "; give one with --downloader" : ""));
        }
    }

    // --- Output -------------------------------------------------------------------------
    // A Windows downloader only runs with its extension.
    std::string output = opt.output;
    if (output.empty()) output = FolderOf(opt.binFile) + recordName + ExeSuffixOf(downloader);
    if (FileSystem::IsDirectory(output))
        return Fail(kUsage, output + " is a folder; name the output file");
    if (SameFile(output, opt.binFile) || SameFile(output, downloader)) {
        return Fail(kUsage, "the output " + output + " would overwrite an input");
    }
    if (!opt.replace && Exists(output)) {
        return Fail(kOutputExists, output + " exists; use --replace to overwrite it");
    }
    const std::string outFolder = FolderOf(output).empty() ? std::string(".") : FolderOf(output);

    // --- Build --------------------------------------------------------------------------
    PartialFile partial;
    partial.path = FileSystem::NewPrivateFile(outFolder, "." + FileNameOf(output) + ".partial-");
    if (partial.path.empty()) {
        return Fail(kBuildFailed,
                    "cannot create a file in " + outFolder + ": " + FileSystem::LastError());
    }
    // The record is made here and goes into the payload from memory.
    const std::string record = recordName + "," + ThreeDigits(opt.language) + "," +
                               opt.description + "," + kFourthField + "\r\n";
    ZelPayload writer;
    if (!writer.BuildPayloadFrom(downloader, {{binName, binData}, {"README.TXT", record}},
                                 partial.path)) {
        return Fail(kBuildFailed,
                    "writing the downloader failed (disk full, or an input "
                    "changed while it was read?)");
    }
    // The result runs like the program it was made from, and its owner may always write it,
    // so that the next build can replace it even when that program is read-only.
    unsigned bits = 0755;
    if (FileSystem::PermissionBits(downloader, bits)) {
        bits = 0644 | (bits & FileSystem::kExecuteBits) | FileSystem::kOwnerWrite;
    }
    if (!FileSystem::SetPermissionBits(partial.path, bits)) {
        return Fail(kBuildFailed, "cannot make the result executable: " + FileSystem::LastError());
    }

    // Read the result back exactly as the downloader will, before anyone can run it.
    clsResFiles check(partial.path);
    std::vector<std::uint8_t> image;
    const bool readOk = check.GetReadMeData() && check.GetBinaryData(image);
    if (!readOk || check.Name() != recordName || check.Language() != opt.language * 100 ||
        check.Description() != opt.description ||
        std::string(image.begin(), image.end()) != binData) {
        return Fail(kBuildFailed,
                    "the written downloader does not read back as built; nothing was kept");
    }

    const int published = Publish(partial.path, output, opt.replace);
    if (published != kOk) return published;
    partial.path.clear();

    std::cout << "Built " << output << '\n'
              << "  image:       " << binName << " (" << binData.size() << " bytes)\n"
              << "  language:    " << opt.language << " (" << kLanguageNames[opt.language] << ")\n"
              << "  description: " << opt.description << '\n'
              << "  downloader:  " << downloader << '\n';
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        bool done = false;
        const Options opt = ParseArguments(FileSystem::Arguments(argc, argv), done);
        if (done) return kOk;
        if (opt.show) return ShowDownloader(opt.binFile, opt.json, opt.extractDir, opt.replace);
        return Build(opt);
    } catch (const UsageError& e) {
        std::cerr << "fieldprog-build: " << e.Text() << "\nTry 'fieldprog-build --help'.\n";
        return kUsage;
    } catch (const std::exception& e) {
        return Fail(kBuildFailed, e.what());
    }
}
