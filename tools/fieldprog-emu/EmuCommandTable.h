#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "EmuFlash.h"
#include "EmuOptions.h"
#include "EmuOutbox.h"
#include "EmuTypes.h"

// The device's commands as the host types them: which letters exist and what each takes after
// it, the echo of every character (or none, or a wrong one, under the fault switches), "?" in
// place of the echo for whatever the device refuses, the "y/n" question where it is switched
// on, and the answers of the commands that report.
class EmuCommandTable {
  public:
    // A command typed to its end (and confirmed, where the device asked). `echo` is the echo of
    // its last character, which goes out with the answer.
    struct Typed {
        std::string command;  // "." and arguments included
        std::string echo;
    };

    static bool Knows(char letter);

    EmuCommandTable(const EmuOptions& options, const EmuFlash& flash, EmuOutbox& out);

    // One character typed outside address mode and transfer. `greetingDue`: the device waits
    // for the ".V" that answers its "P"; that one is never asked "y/n".
    std::optional<Typed> Receive(char c, EmuMicros now, bool greetingDue);
    // Forgets a command typed half-way.
    void Reset();
    // "?" in place of the echo: the host takes the command as not recognised.
    void Refuse(EmuMicros now);
    // The echo of `c` under the fault switches of command `letter` (0: the "." of any command).
    std::string EchoOf(char c, char letter) const;

    // The echo and answer of any command but ".R", whose byte display is address mode's.
    // `lastBlock` is the receive buffer that ".B" shows.
    void Answer(const Typed& typed, EmuMicros now, const std::vector<std::uint8_t>& lastBlock);

  private:
    enum class State { Idle, Letter, Argument, AwaitYes };

    void ReceiveIdle(char c, EmuMicros now);
    std::optional<Typed> ReceiveLetter(char c, EmuMicros now, bool greetingDue);
    std::optional<Typed> ReceiveArgument(char c, EmuMicros now, bool greetingDue);
    std::optional<Typed> ReceiveYes(char c, EmuMicros now);
    std::optional<Typed> Complete(const std::string& echo, EmuMicros now, bool greetingDue);
    bool FaultApplies(const std::string& set, char letter) const;
    void Reply(const std::string& text, EmuMicros now);
    void ProgressCounter(EmuMicros start);

    const EmuOptions& options_;
    const EmuFlash& flash_;
    EmuOutbox& out_;
    EmuMicros replyDelay_;
    EmuMicros byteTime_;
    State state_ = State::Idle;
    std::string command_;  // the command being typed, "." included
    std::size_t argsNeeded_ = 0;
};
