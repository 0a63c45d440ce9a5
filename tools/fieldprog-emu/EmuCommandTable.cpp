#include "EmuCommandTable.h"

#include <algorithm>
#include <cassert>
#include <cctype>

namespace {

struct CommandSpec {
    char letter;
    std::size_t arguments;  // characters typed after the letter
};

constexpr CommandSpec kCommands[] = {
    {'V', 0}, {'K', 0}, {'C', 0}, {'W', 0}, {'D', 4},  // bank number
    {'R', 6},                                          // byte address
    {'B', 0}, {'G', 1},                                // RAM buffer "1" or "2"
    {'I', 0}, {'Q', 0}, {'L', 0}, {'X', 0},
};

const CommandSpec* Find(char letter) {
    for (const CommandSpec& spec : kCommands)
        if (spec.letter == letter) return &spec;
    return nullptr;
}

constexpr std::size_t kCounterStepBytes = 8;  // four digits and four backspaces

std::string Printable(char c) {
    return std::isprint(static_cast<unsigned char>(c))
               ? std::string(1, c)
               : "<" + EmuHex(static_cast<unsigned char>(c), 2) + ">";
}

}  // namespace

bool EmuCommandTable::Knows(char letter) {
    return Find(letter) != nullptr;
}

EmuCommandTable::EmuCommandTable(const EmuOptions& options, const EmuFlash& flash, EmuOutbox& out)
    : options_(options),
      flash_(flash),
      out_(out),
      replyDelay_(static_cast<EmuMicros>(options.replyDelayMs) * kMicrosPerMs),
      byteTime_(options.baud > 0 ? (10 * 1000000 + options.baud - 1) / options.baud : 0) {}

bool EmuCommandTable::FaultApplies(const std::string& set, char letter) const {
    return set.find('*') != std::string::npos ||
           (letter != 0 && set.find(letter) != std::string::npos);
}

std::string EmuCommandTable::EchoOf(char c, char letter) const {
    if (FaultApplies(options_.noEcho, letter)) return {};
    if (FaultApplies(options_.wrongEcho, letter)) return "#";
    return std::string(1, c);
}

void EmuCommandTable::Reset() {
    state_ = State::Idle;
    command_.clear();
}

void EmuCommandTable::Refuse(EmuMicros now) {
    out_.Emit("?", now);
    Reset();
}

// A reply starts once the device has worked out its answer: the reply delay after the command's
// last character, whatever the host is doing meanwhile.
void EmuCommandTable::Reply(const std::string& text, EmuMicros now) {
    out_.Emit(text, now + replyDelay_);
}

std::optional<EmuCommandTable::Typed> EmuCommandTable::Receive(char c, EmuMicros now,
                                                               bool greetingDue) {
    if (c == '.' && state_ != State::Idle) {
        // A new command replaces an unfinished one.
        if (state_ == State::AwaitYes) out_.Note("y/n prompt for " + command_ + " abandoned");
        Reset();
    }
    switch (state_) {
        case State::Idle:
            ReceiveIdle(c, now);
            return std::nullopt;
        case State::Letter:
            return ReceiveLetter(c, now, greetingDue);
        case State::Argument:
            return ReceiveArgument(c, now, greetingDue);
        case State::AwaitYes:
            return ReceiveYes(c, now);
    }
    return std::nullopt;
}

void EmuCommandTable::ReceiveIdle(char c, EmuMicros now) {
    if (c == '.') {
        out_.Emit(EchoOf(c, 0), now);
        command_ = ".";
        state_ = State::Letter;
    } else if (c == '\r') {
        Reply("\r\n", now);  // an empty line: a fresh line end
    } else if (c != '\n') {
        out_.Emit("?", now);
    }
}

std::optional<EmuCommandTable::Typed> EmuCommandTable::ReceiveLetter(char c, EmuMicros now,
                                                                     bool greetingDue) {
    const CommandSpec* spec = Find(c);
    if (spec == nullptr) {
        out_.Note("unknown command ." + Printable(c));
        Refuse(now);
        return std::nullopt;
    }
    if (FaultApplies(options_.refuse, c)) {
        out_.Note("refusing ." + std::string(1, c));
        Refuse(now);
        return std::nullopt;
    }
    command_ += c;
    if (spec->arguments == 0) return Complete(EchoOf(c, c), now, greetingDue);
    out_.Emit(EchoOf(c, c), now);
    argsNeeded_ = spec->arguments;
    state_ = State::Argument;
    return std::nullopt;
}

std::optional<EmuCommandTable::Typed> EmuCommandTable::ReceiveArgument(char c, EmuMicros now,
                                                                       bool greetingDue) {
    const char letter = command_[1];
    const bool fits = letter == 'G' ? (c == '1' || c == '2') : EmuIsHexDigit(c);
    if (!fits) {
        out_.Note("bad argument character for ." + std::string(1, letter));
        Refuse(now);
        return std::nullopt;
    }
    command_ += c;
    if (command_.size() - 2 < argsNeeded_) {
        out_.Emit(EchoOf(c, letter), now);
        return std::nullopt;
    }
    // Out-of-range numbers are refused on their last digit, as an unknown command would be.
    const unsigned value = EmuHexValue(command_.substr(2));
    if ((letter == 'D' && value >= static_cast<unsigned>(flash_.Pages())) ||
        (letter == 'R' && value >= flash_.Size())) {
        out_.Note("out of range: " + command_);
        Refuse(now);
        return std::nullopt;
    }
    return Complete(EchoOf(c, letter), now, greetingDue);
}

// A command typed to its end: ask "y/n" first when told to, otherwise hand it over.
std::optional<EmuCommandTable::Typed> EmuCommandTable::Complete(const std::string& echo,
                                                                EmuMicros now, bool greetingDue) {
    const char letter = command_[1];
    const bool greeting = letter == 'V' && greetingDue;
    if (letter != 'R' && !greeting && FaultApplies(options_.ynPrompt, letter)) {
        // The device asks right after echoing the command's last character.
        out_.Emit(echo + "y/n", now);
        state_ = State::AwaitYes;
        return std::nullopt;
    }
    Typed typed{command_, echo};
    Reset();
    return typed;
}

std::optional<EmuCommandTable::Typed> EmuCommandTable::ReceiveYes(char c, EmuMicros now) {
    Typed typed{command_, EchoOf(c, command_[1])};
    Reset();
    if (c == 'Y') return typed;
    out_.Note(typed.command + " declined");
    out_.Emit(typed.echo, now);
    Reply("\r\n", now);
    return std::nullopt;
}

void EmuCommandTable::Answer(const Typed& typed, EmuMicros now,
                             const std::vector<std::uint8_t>& lastBlock) {
    const std::string& command = typed.command;
    assert(command[1] != 'R');  // address mode shows the byte
    std::string reply = "\r\n";
    switch (command[1]) {
        case 'V':
            reply += options_.fwVersion + "\r\n";
            break;
        case 'K':
            reply +=
                options_.status + " " + EmuHex(static_cast<unsigned>(flash_.Pages()), 4) + "\r\n";
            break;
        case 'D':
            reply += flash_.BankText(static_cast<int>(EmuHexValue(command.substr(2)))) + "\r\n";
            break;
        case 'B':
            for (const std::uint8_t b : lastBlock) reply += EmuHex(b, 2);
            reply += "\r\n";
            break;
        case 'G':
            for (const std::uint8_t b : flash_.RamBuffer(command[2] - '0'))
                reply += EmuHex(b, 2) + " ";
            reply += "\r\n";
            break;
        case 'C':
        case 'W':
            out_.Emit(typed.echo, now);
            ProgressCounter(now + replyDelay_);
            return;
        case 'X':  // what follows belongs to the transfer
            out_.Emit(typed.echo, now);
            return;
        default:  // ".I", ".L", ".Q": an empty line
            break;
    }
    out_.Emit(typed.echo, now);
    Reply(reply, now);
}

// Pages done, as four hex digits each overwritten with backspaces; the last one carries the line
// end that ends the command. On a paced line there is no point in sending steps faster than they
// can travel.
void EmuCommandTable::ProgressCounter(EmuMicros start) {
    const EmuMicros perPage = static_cast<EmuMicros>(options_.pageMs) * kMicrosPerMs;
    const EmuMicros interval =
        std::max<EmuMicros>(perPage, byteTime_ * static_cast<EmuMicros>(kCounterStepBytes));
    const int last = flash_.Pages() - 1;
    int page = 0;
    for (EmuMicros t = 0;;) {
        if (interval > 0)
            page = perPage > 0 ? static_cast<int>(std::min<EmuMicros>(last, t / perPage)) : last;
        const std::string step = EmuHex(static_cast<unsigned>(page), 4) + "\b\b\b\b";
        if (page == last) {
            out_.Emit(step + "\r\n", start + t);
            return;
        }
        out_.Emit(step, start + t);
        if (interval > 0)
            t += interval;
        else
            ++page;  // unpaced and instant: every page, one after another
    }
}
