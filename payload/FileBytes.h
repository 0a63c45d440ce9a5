#pragma once

#include <string>

// Whole-file reads and writes for the payload code. Bytes pass through unchanged.

// Reads the complete content of a regular file into strData. False (strData untouched) when
// the file is missing, is not a regular file or cannot be read to its end.
bool ReadWholeFile(const std::string& strFullPath, std::string& strData);

// Replaces the file's content with strData, creating it (mode 0666 less the umask) when
// absent. False on any error.
bool WriteWholeFile(const std::string& strFullPath, const std::string& strData);

// Writes all of strData to an open descriptor, retrying short writes and interruptions.
bool WriteAllToDescriptor(int fd, const std::string& strData);
