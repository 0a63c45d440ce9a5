#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <system_error>

#include "FuzzTargets.h"

namespace {

std::string& CurrentInput() {
    static std::string name;
    return name;
}

// Scratch folders live for the process; they are removed when it ends normally.
struct ScratchFolders {
    std::map<std::string, std::string> byTarget;
    ~ScratchFolders() {
        for (const auto& entry : byTarget) {
            std::error_code ignored;
            std::filesystem::remove_all(entry.second, ignored);
        }
    }
};

ScratchFolders& Folders() {
    static ScratchFolders folders;
    return folders;
}

}  // namespace

void FuzzFail(const std::string& what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what.c_str());
    if (!CurrentInput().empty()) std::fprintf(stderr, "input: %s\n", CurrentInput().c_str());
    std::fflush(stderr);
    std::abort();
}

void FuzzSetCurrentInput(const std::string& name) {
    CurrentInput() = name;
}

std::string FuzzScratchFolder(const std::string& target) {
    auto& folders = Folders().byTarget;
    const auto found = folders.find(target);
    if (found != folders.end()) return found->second;
    std::error_code error;
    std::string base = std::filesystem::temp_directory_path(error).string();
    if (error || base.empty()) base = "/tmp";
    std::string pattern = base + "/fieldprog-fuzz-" + target + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        FuzzFail("cannot create a scratch folder under " + base);
    folders.emplace(target, pattern);
    return pattern;
}

bool FuzzWriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}
