#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Stateless path-string operations and thin wrappers over the operating system.
// Both "\" and "/" count as folder separators. Extensions are upper case without the dot.
// The folder picker needs a window system and lives in the Qt application (app/).
class clsFilingFuncs {
  public:
    // When strFullPath has no folder: strDefaultFolder (trimmed in place, separator added)
    // followed by the file name; otherwise strFullPath unchanged.
    std::string FileInAPath(const std::string& strFullPath, std::string& strDefaultFolder) const;
    std::string AppendExtensionIfNotPresent(std::string strFullPath,
                                            const std::string& strRequiredExtension) const;
    std::string FileExtension(std::string strFileName) const;
    // Trims blanks from strPath and ends it with a separator; modifies the caller's text.
    std::string AppendPathSeperator(std::string& strPath) const;
    std::string PathName(const std::string& strFullPath) const;
    std::string FileName(const std::string& strFullPath) const;
    std::string FileNameNoExtension(const std::string& strFullPath) const;
    // True when the path names an existing regular file (not a folder, not a hidden file).
    bool FileExist(const std::string& strFullPath) const;
    std::string WindowsDirectory() const;
    // The system's temporary folder (TMPDIR honoured), ending with a separator.
    std::string TempPath() const;
    // Creates a new empty file, readable by its owner only, whose name starts with strPrefix,
    // in strPath; returns its full name, or empty on failure.
    std::string TempFileName(const std::string& strPath, const std::string& strPrefix) const;
    // strFileName followed by the first free three-digit (or longer) counter; throws
    // std::overflow_error past 32767.
    std::string NextAvailableFileName(std::string strPath, const std::string& strFileName,
                                      const std::string& strExtension = "") const;
    // The same search with the existence check supplied by the caller.
    std::string NextAvailableFileName(
        std::string strPath, const std::string& strFileName, const std::string& strExtension,
        const std::function<bool(const std::string&)>& fileExists) const;
};
