#pragma once

// Files and environment for tests, through the program's own file-system seam.

#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <stdexcept>
#include <string>

#include "FileSystem.h"

// A fresh private folder in the temporary folder, removed with its content.
class TempDir {
  public:
    TempDir() : path_(FileSystem::NewPrivateFolder(FileSystem::TempFolder(), "fp-test-")) {
        if (path_.empty()) throw std::runtime_error("no folder: " + FileSystem::LastError());
    }
    ~TempDir() { FileSystem::RemoveTree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }
    long Entries() const {  // files and folders in it
        return std::distance(std::filesystem::directory_iterator(path_), {});
    }

  private:
    std::string path_;
};

// Sets an environment variable while this lives; an empty value removes it.
class ScopedEnv {
  public:
    ScopedEnv(const std::string& name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name.c_str())) old_ = old;
        Set(name_, value);
    }
    ~ScopedEnv() { Set(name_, old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    static void Set(const std::string& name, const std::string& value) {
#ifdef _WIN32
        _putenv_s(name.c_str(), value.c_str());
#else
        value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
#endif
    }
    std::string name_, old_;
};

// The variable that names the system's temporary folder.
#ifdef _WIN32
constexpr const char* kTempVariable = "TMP";
#else
constexpr const char* kTempVariable = "TMPDIR";
#endif

// The system's temporary folder while this lives, so a test sees every file left in it.
class TempFolderScope : public TempDir {
    ScopedEnv env_{kTempVariable, Path()};
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    if (!FileSystem::WriteWholeFile(path, bytes)) throw std::runtime_error("cannot write " + path);
}

inline std::string ReadBytes(const std::string& path) {
    std::string bytes;
    if (!FileSystem::ReadWholeFile(path, bytes)) throw std::runtime_error("cannot read " + path);
    return bytes;
}
