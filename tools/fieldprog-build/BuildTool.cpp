#include "BuildTool.h"

#include <cstdint>
#include <iostream>

#include "FileSystem.h"

namespace buildtool {

const char* const kLanguageNames[3] = {"English", "French", "German"};

int Fail(int code, const std::string& text) {
    std::cerr << "fieldprog-build: " << text << '\n';
    return code;
}

bool Exists(const std::string& path) {
    std::uint64_t size = 0;
    return FileSystem::FileSize(path, size) || FileSystem::IsDirectory(path);
}

int Publish(const std::string& partial, const std::string& output, bool replace) {
    if (FileSystem::MoveFile(partial, output, replace)) return kOk;
    const std::string why = FileSystem::LastError();
    if (!replace && Exists(output)) {
        return Fail(kOutputExists, output + " exists; use --replace to overwrite it");
    }
    return Fail(kBuildFailed, "cannot move the result to " + output + ": " + why);
}

PartialFile::~PartialFile() {
    if (!path.empty()) FileSystem::RemoveFile(path);
}

}  // namespace buildtool
