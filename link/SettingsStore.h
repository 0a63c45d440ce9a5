#pragma once

#include <memory>
#include <string>

// What the program remembers for the user between runs (the port that last programmed a
// device). Nothing depends on it: a value that cannot be read is absent, and one that cannot
// be written is forgotten, without a word to the user. No OS type appears here: the build
// links exactly one backend (platform/<os>/).
class SettingsStore {
  public:
    virtual ~SettingsStore() = default;
    // The value stored under `name`; false when there is none or it cannot be read.
    virtual bool Read(const std::string& name, std::string& value) = 0;
    // Stores `value` under `name`; false when it could not be kept.
    virtual bool Write(const std::string& name, const std::string& value) = 0;
};

// The user's own settings of this program: on Linux the file fieldprog/settings in
// $XDG_CONFIG_HOME (~/.config by default), on Windows HKEY_CURRENT_USER\Software\fieldprog.
std::unique_ptr<SettingsStore> MakeUserSettings();
