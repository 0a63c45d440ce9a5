#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "EmuTypes.h"

// Puts the device's bytes on a timeline as a serial line at the given baud rate would (8N1, ten
// bits a byte), in both directions: a received byte reaches the device only when it would have
// finished arriving, and an output byte is handed to the pseudo-terminal only when it would have
// finished leaving. Baud 0 runs unpaced. Times come from the caller, so this class never sleeps.
class EmuPacer {
  public:
    explicit EmuPacer(int baud);

    // Bytes the host wrote, read from the pseudo-terminal at `now`.
    void Received(const std::string& bytes, EmuMicros now);
    // The next received byte whose arrival time has come; false when there is none yet.
    bool TakeInput(EmuMicros now, std::uint8_t& byte, EmuMicros& arrival);

    void Queue(EmuOutput output);

    // The output bytes that are due at `now`, in order.
    std::string TakeDue(EmuMicros now);

    // The next moment at which input or output becomes due; kEmuNever when nothing waits.
    EmuMicros NextDeadline() const;
    bool OutputIdle() const { return output_.empty(); }

  private:
    EmuMicros Duration(std::size_t bytes) const;  // time on the line for this many bytes
    std::size_t BytesDone(EmuMicros since, EmuMicros now) const;
    EmuMicros HeadStart() const;

    int baud_;
    std::deque<std::pair<std::uint8_t, EmuMicros>> input_;
    EmuMicros inputFree_ = 0;
    std::deque<EmuOutput> output_;
    std::size_t headPos_ = 0;
    EmuMicros headStart_ = -1;  // when the head output began on the line; -1: not yet
    EmuMicros outputFree_ = 0;
};
