#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "Terminal.h"

// Everything the tool tells its user. Results go to standard output so that scripts can
// capture them; prompts, progress and errors go to standard error. On a terminal the
// progress of an operation redraws one line; elsewhere it becomes a few plain lines.
//
// A thread of the console's own does the writing, so that a terminal that stops reading
// (Ctrl-S, a selection in a Windows console) holds up the text, never a device's transfer.
class Console {
  public:
    Console();
    ~Console();  // writes what is left, and ends the writing thread
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // The language block of the status texts: 0 English, 100 French, 200 German.
    void Language(std::int16_t offset);
    std::int16_t Language() const { return language_; }
    // A status text by its English id, in the current language (English when the table
    // holds no text at that id).
    std::string Text(int englishId) const;

    void Result(const std::string& line);
    void Status(const std::string& line);
    void Error(const std::string& line);
    // An error record's failure: its text and number, or the plain reason when none is set.
    void DeviceError(const std::string& what, std::int32_t number, const std::string& message);

    // A progress event of the device (type codes of the device object's Progress event).
    void Progress(std::int16_t percent, std::int32_t type);
    // Finishes a progress line, if one is open.
    void EndProgress();
    // Waits until everything told so far is written.
    void Flush();

  private:
    void Line(terminal::Stream stream, const std::string& line);
    void Put(terminal::Stream stream, std::string text);
    void Writer();  // the writing thread

    std::int16_t language_ = 0;
    bool interactive_;
    std::int32_t currentType_ = -1;
    int lastShown_ = -1;
    bool lineOpen_ = false;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<terminal::Stream, std::string>> queue_;
    std::size_t dropped_ = 0;  // lines of standard error a terminal that did not read cost
    bool writing_ = false;     // the writing thread holds texts taken from the queue
    bool ending_ = false;
    std::thread writer_;
};
