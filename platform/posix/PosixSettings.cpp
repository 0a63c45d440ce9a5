// The user's settings on a POSIX system: name=value lines in $XDG_CONFIG_HOME/fieldprog/settings.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "SettingsStore.h"

namespace {

constexpr std::size_t kLongestFile = 64 * 1024;  // a settings file is a few lines

// $XDG_CONFIG_HOME/fieldprog, or ~/.config/fieldprog; empty when neither is known. A relative
// XDG_CONFIG_HOME is to be ignored, as the base directory rules say.
std::string SettingsFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return std::string(config) + "/fieldprog";
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return {};
    return std::string(home) + "/.config/fieldprog";
}

class PosixSettings : public SettingsStore {
  public:
    bool Read(const std::string& name, std::string& value) override {
        for (const auto& line : Lines()) {
            if (line.compare(0, name.size() + 1, name + "=") == 0) {
                value = line.substr(name.size() + 1);
                return true;
            }
        }
        return false;
    }

    // The whole file is written beside the old one and renamed over it, so a crash or a full
    // disk leaves the old settings, never half a file.
    bool Write(const std::string& name, const std::string& value) override {
        const std::string folder = SettingsFolder();
        if (folder.empty() || name.find_first_of("=\n") != std::string::npos ||
            value.find('\n') != std::string::npos) {
            return false;
        }
        const std::string parent = folder.substr(0, folder.find_last_of('/'));
        if (mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
        std::string text;
        for (const auto& line : Lines()) {
            if (line.compare(0, name.size() + 1, name + "=") != 0) text += line + "\n";
        }
        text += name + "=" + value + "\n";
        const std::string path = folder + "/settings";
        const std::string fresh = path + ".new" + std::to_string(getpid());
        {
            std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
            if (!(out << text) || !out.flush()) {
                out.close();
                std::remove(fresh.c_str());
                return false;
            }
        }
        if (std::rename(fresh.c_str(), path.c_str()) != 0) {
            std::remove(fresh.c_str());
            return false;
        }
        return true;
    }

  private:
    static std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        const std::string folder = SettingsFolder();
        if (folder.empty()) return lines;
        std::ifstream in(folder + "/settings", std::ios::binary);
        std::string line;
        std::size_t read = 0;
        while (std::getline(in, line) && (read += line.size() + 1) <= kLongestFile) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) lines.push_back(line);
        }
        return lines;
    }
};

}  // namespace

std::unique_ptr<SettingsStore> MakeUserSettings() {
    return std::make_unique<PosixSettings>();
}
