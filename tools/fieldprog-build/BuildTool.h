#pragma once

// What the builder's two jobs (making a downloader, showing or extracting what one carries)
// share: exit codes, messages and putting a finished file in place.

#include <string>

namespace buildtool {

enum ExitCode : int {
    kOk = 0,
    kUsage = 2,          // bad options or arguments
    kInputProblem = 3,   // an input is missing, unreadable or unusable
    kOutputExists = 4,   // the output is there and --replace was not given
    kBuildFailed = 5,    // writing or checking the result failed
    kNotDownloader = 6,  // the file carries no payload
    kDamaged = 7,        // the payload does not decode, or the image in it is cut short
};

extern const char* const kLanguageNames[3];  // by language number: English, French, German

// The message on standard error; returns `code`.
int Fail(int code, const std::string& text);
bool Exists(const std::string& path);
// Moves the finished file into place. Without `replace` an output that appeared meanwhile is
// still not overwritten: the move itself refuses an existing name.
int Publish(const std::string& partial, const std::string& output, bool replace);

// Removes the output under construction however the job ends.
class PartialFile {
  public:
    PartialFile() = default;
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile();
    std::string path;
};

}  // namespace buildtool
