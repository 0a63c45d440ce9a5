#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clsPayloadFile.h"

// One file for BuildPayloadFrom: its name inside the payload and its bytes.
struct PayloadEntry {
    std::string name;
    std::string data;
};

// Reader and writer of the payload appended to a downloader executable:
//   image, CR LF, marker, CR LF, compressed archive (ZelEncode stream), CR LF.
// The archive is a concatenation of entries "-=+(" name ":" data ")+=-".
// Nothing here shows a message or throws out of GetPayload / BuildPayload; failures are false.
class ZelPayload {
  public:
    ZelPayload();

    std::string PayloadFile() const { return payloadFile_; }
    void PayloadFile(std::string strFullPath) { payloadFile_ = std::move(strFullPath); }

    // Reads the file (PayloadFile when strFullPath is empty), decodes the payload behind the
    // first marker and replaces the file list. A file that cannot be read, has no payload or
    // whose payload fails to decode keeps the previous list.
    bool GetPayload(std::string strFullPath = "");

    // Why the last GetPayload returned false, for tools that tell a file that is no downloader
    // from a damaged one; LastProblemText says it in a sentence (empty for None and NoPayload).
    enum class Problem { None, Unreadable, NoPayload, Damaged };
    Problem LastProblem() const { return problem_; }
    const std::string& LastProblemText() const { return problemText_; }

    // Appends to strOutputPath (created when absent, with the executable's permission bits)
    // a copy of strExePath without any old payload, followed by a new payload holding the
    // given files in order. False, with nothing written, when the executable or one of the
    // files is not an existing normal file or cannot be read; false also when the output
    // cannot be written, in which case the output is cut back to its former length.
    bool BuildPayload(const std::string& strExePath, const std::vector<std::string>& strFilePaths,
                      const std::string& strOutputPath);
    // The same with the files given by name and content (the builder's record is made in
    // memory, never written to a file of its own).
    bool BuildPayloadFrom(const std::string& strExePath, const std::vector<PayloadEntry>& entries,
                          const std::string& strOutputPath);

    std::int32_t FileCount() const;
    // Slots 1 to FileCount hold the files; slot FileCount + 1 is the spare one (normally
    // empty). Any other index throws std::out_of_range.
    std::shared_ptr<clsPayloadFile> File(std::int32_t Index) const;
    void File(std::int32_t Index, std::shared_ptr<clsPayloadFile> objFile);

    // The first file whose upper-case extension equals strExt exactly ("BIN", not "bin").
    bool GetFileByType(const std::string& strExt, std::string& strData) const;
    // The first file whose name equals strName, ignoring case.
    bool GetFileByName(std::string strName, std::string& strData) const;

    // Called once per parsed entry and once per build, so that a user interface can handle
    // pending events during long operations. Must not start another GetPayload/BuildPayload.
    std::function<void()> Yield;

    // The marker line's text, put together at run time so that the program's own image never
    // holds it (the reader takes the first marker in the whole file).
    static std::string Marker();

  private:
    std::size_t SlotIndex(std::int32_t Index) const;
    void DoYield() const;

    bool Failed(Problem problem, std::string text);

    std::string payloadFile_;
    Problem problem_ = Problem::None;
    std::string problemText_;
    std::vector<std::shared_ptr<clsPayloadFile>> files_;  // FileCount + 1 slots
};
