#include "clsFilingFuncs.h"

#include <cctype>
#include <cstdio>
#include <stdexcept>
#include <utility>
#include <vector>

#include "FileSystem.h"

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

std::string::size_type LastSeparator(const std::string& text) {
    return text.find_last_of("\\/");
}

// Only the blank is trimmed: tabs and other white space are part of a name.
std::string TrimBlanks(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::string();
    }
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

// ASCII only, so that multi-byte UTF-8 names pass through unchanged.
std::string UpperAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

}  // namespace

std::string clsFilingFuncs::FileInAPath(const std::string& strFullPath,
                                        std::string& strDefaultFolder) const {
    if (!PathName(strFullPath).empty()) {
        return strFullPath;
    }
    return AppendPathSeperator(strDefaultFolder) + FileName(strFullPath);
}

std::string clsFilingFuncs::AppendExtensionIfNotPresent(
    std::string strFullPath, const std::string& strRequiredExtension) const {
    if (strRequiredExtension != FileExtension(strFullPath)) {
        strFullPath += "." + strRequiredExtension;
    }
    return strFullPath;
}

std::string clsFilingFuncs::FileExtension(std::string strFileName) const {
    if (strFileName.size() < 2) {
        return std::string();
    }
    // The last dot anywhere in the text: a dotted folder name yields its tail.
    const auto dot = strFileName.rfind('.');
    if (dot == std::string::npos) {
        return std::string();
    }
    return UpperAscii(strFileName.substr(dot + 1));
}

std::string clsFilingFuncs::AppendPathSeperator(std::string& strPath) const {
    if (strPath.empty()) {
        return std::string();
    }
    std::string path = TrimBlanks(strPath);
    if (path.empty() || !IsSeparator(path.back())) {
        // Keep the style the text already uses; a text with neither gets this system's own.
        const bool backslashOnly =
            path.find('/') == std::string::npos && path.find('\\') != std::string::npos;
        path += backslashOnly ? '\\' : '/';
    }
    strPath = path;
    return path;
}

std::string clsFilingFuncs::PathName(const std::string& strFullPath) const {
    const auto sep = LastSeparator(strFullPath);
    if (sep == std::string::npos) {
        return std::string();
    }
    return strFullPath.substr(0, sep + 1);
}

std::string clsFilingFuncs::FileName(const std::string& strFullPath) const {
    const auto sep = LastSeparator(strFullPath);
    if (sep == std::string::npos) {
        return strFullPath;
    }
    return strFullPath.substr(sep + 1);
}

std::string clsFilingFuncs::FileNameNoExtension(const std::string& strFullPath) const {
    const std::string name = FileName(strFullPath);
    return name.substr(0, name.find('.'));
}

bool clsFilingFuncs::FileExist(const std::string& strFullPath) const {
    if (strFullPath.empty()) {
        return false;
    }
    // A name starting with a dot is this system's hidden file, and hidden files are treated as
    // absent. Wildcards are not expanded: '*' and '?' are ordinary characters in names here.
    const std::string name = FileName(strFullPath);
    if (!name.empty() && name.front() == '.') {
        return false;
    }
    // Folders, devices, pipes and sockets are not normal files.
    return FileSystem::IsRegularFile(strFullPath);
}

std::string clsFilingFuncs::WindowsDirectory() const {
    return FileSystem::SystemFolder();
}

std::string clsFilingFuncs::TempPath() const {
    return FileSystem::TempFolder();
}

std::string clsFilingFuncs::TempFileName(const std::string& strPath,
                                         const std::string& strPrefix) const {
    return FileSystem::NewPrivateFile(strPath, strPrefix);
}

std::string clsFilingFuncs::NextAvailableFileName(std::string strPath,
                                                  const std::string& strFileName,
                                                  const std::string& strExtension) const {
    return NextAvailableFileName(std::move(strPath), strFileName, strExtension,
                                 [this](const std::string& path) { return FileExist(path); });
}

std::string clsFilingFuncs::NextAvailableFileName(
    std::string strPath, const std::string& strFileName, const std::string& strExtension,
    const std::function<bool(const std::string&)>& fileExists) const {
    AppendPathSeperator(strPath);
    // The counter is a signed 16-bit number: 32767 is the last one tried.
    for (std::int32_t n = 0; n <= 32767; ++n) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%03d", static_cast<int>(n));
        std::string candidate = strFileName + digits;
        std::string fullName = strPath;
        fullName += candidate;
        fullName += '.';
        fullName += strExtension;
        if (!fileExists(fullName)) {
            return candidate;
        }
    }
    throw std::overflow_error("NextAvailableFileName: no free counter up to 32767");
}
