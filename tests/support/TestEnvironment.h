#pragma once

// Environment variables in tests, the same way on every system the tests run on.

#include <cstdlib>
#include <string>

// The variable through which the system finds its folder for temporary files.
#ifdef _WIN32
constexpr const char* kTempFolderVariable = "TMP";
#else
constexpr const char* kTempFolderVariable = "TMPDIR";
#endif

inline void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());  // also the process environment GetTempPathW reads
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

inline void UnsetEnvironment(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");  // an empty value removes the variable
#else
    ::unsetenv(name);
#endif
}
