#pragma once

#include <cstdint>
#include <string>

#include "Terminal.h"

// Everything the tool tells its user. Results go to standard output so that scripts can
// capture them; prompts, progress and errors go to standard error. On a terminal the
// progress of an operation redraws one line; elsewhere it becomes a few plain lines.
class Console {
  public:
    Console();

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

  private:
    void Line(terminal::Stream stream, const std::string& line);

    std::int16_t language_ = 0;
    bool interactive_;
    std::int32_t currentType_ = -1;
    int lastShown_ = -1;
    bool lineOpen_ = false;
};
