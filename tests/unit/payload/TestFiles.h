#pragma once

#include <stdexcept>
#include <string>

#include "FileSystem.h"

// A fresh folder in the temporary folder, removed with its content.
class TempDir {
  public:
    TempDir() : path_(FileSystem::NewPrivateFolder(FileSystem::TempFolder(), "fp-payload-")) {
        if (path_.empty()) throw std::runtime_error("no temporary folder: " + FileSystem::LastError());
    }
    ~TempDir() { FileSystem::RemoveTree(path_); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& Path() const { return path_; }

  private:
    std::string path_;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    if (!FileSystem::WriteWholeFile(path, bytes)) throw std::runtime_error("cannot write " + path);
}

inline std::string ReadBytes(const std::string& path) {
    std::string bytes;
    if (!FileSystem::ReadWholeFile(path, bytes)) throw std::runtime_error("cannot read " + path);
    return bytes;
}
