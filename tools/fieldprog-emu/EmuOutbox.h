#pragma once

#include <functional>
#include <string>
#include <vector>

#include "EmuTypes.h"

// What the device has to say, shared by its parts: output pieces stamped with the moment each may
// start on the line, in the order they must go out, and notes for the log.
class EmuOutbox {
  public:
    EmuOutbox(const std::function<void(const std::string&)>& log, EmuMicros start)
        : log_(log), lastOutput_(start) {}

    void Emit(std::string bytes, EmuMicros notBefore);
    std::vector<EmuOutput> Take();
    void Drop() { pending_.clear(); }
    // The latest start asked for so far (the line is busy at least until then).
    EmuMicros LastOutput() const { return lastOutput_; }
    void Note(const std::string& text) const;

  private:
    const std::function<void(const std::string&)>& log_;
    std::vector<EmuOutput> pending_;
    EmuMicros lastOutput_;
};
