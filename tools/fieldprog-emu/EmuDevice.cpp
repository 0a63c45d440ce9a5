#include "EmuDevice.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::size_t kBlockBytes = 133;  // SOH, number, complement, 128 data, CRC high, low
constexpr std::size_t kBlockData = 128;   // data bytes in a block
constexpr EmuMicros kFirstCDelay = 150 * kMicrosPerMs;    // after the echo of ".X"
constexpr EmuMicros kCRepeat = 1000 * kMicrosPerMs;       // until the first block starts
constexpr int kCTries = 10;                               // then the device gives up
constexpr EmuMicros kBlockTimeout = 1000 * kMicrosPerMs;  // silence inside a block
constexpr EmuMicros kPRepeat = 1000 * kMicrosPerMs;       // "P" again while nobody greets
constexpr std::size_t kCounterStepBytes = 8;              // four digits and four backspaces

const char kHexDigits[] = "0123456789ABCDEF";

std::string Hex(unsigned value, int digits) {
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        text[static_cast<std::size_t>(i)] = kHexDigits[value & 0x0F];
    return text;
}

bool IsHexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

unsigned HexValue(const std::string& digits) {
    unsigned value = 0;
    for (const char c : digits) {
        const int d = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
        value = value * 16 + static_cast<unsigned>(d);
    }
    return value;
}

std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (std::isprint(static_cast<unsigned char>(c)))
            out += c;
        else
            out += "<" + Hex(static_cast<unsigned char>(c), 2) + ">";
    }
    return out;
}

}  // namespace

std::string EmuDeviceRecord::Verdict() const {
    if (!transferStarted) return "NONE";
    return transferEnded && badBlocks == 0 && failure.empty() ? "OK" : "FAIL";
}

std::uint16_t EmuDeviceRecord::ImageCrc() const {
    return static_cast<std::uint16_t>(ClsCRC().CRC16(image.data(), image.size()));
}

std::string EmuDeviceLine(const EmuDeviceRecord& r) {
    char crc[8];
    std::snprintf(crc, sizeof crc, "0x%04X", static_cast<unsigned>(r.ImageCrc()));
    return "DEVICE " + std::to_string(r.number) + " RECEIVED " + std::to_string(r.image.size()) +
           " BYTES CRC " + crc + " BLOCKS " + std::to_string(r.goodBlocks) + " " + r.Verdict();
}

EmuDevice::EmuDevice(const EmuOptions& options, EmuMicros start)
    : options_(options),
      replyDelay_(static_cast<EmuMicros>(options.replyDelayMs) * kMicrosPerMs),
      byteTime_(options.baud > 0 ? (10 * 1000000 + options.baud - 1) / options.baud : 0),
      flash_(options.pages, options.bankSize),
      receiveBuffer_(kBlockData, 0x00),
      primaryBuffer_(static_cast<std::size_t>(options.bankSize), 0xFF),
      secondaryBuffer_(static_cast<std::size_t>(options.bankSize), 0xFF) {
    lastInput_ = lastOutput_ = lastP_ = start;
    if (options.pressAfterMs >= 0) nextPress_ = start + options.pressAfterMs * kMicrosPerMs;
}

// ---------------------------------------------------------------------------------------------
// Output helpers

void EmuDevice::Emit(std::string bytes, EmuMicros notBefore, bool atomic) {
    if (bytes.empty()) return;
    lastOutput_ = std::max(lastOutput_, notBefore);
    output_.push_back(EmuOutput{std::move(bytes), notBefore, atomic});
}

std::vector<EmuOutput> EmuDevice::TakeOutput() {
    std::vector<EmuOutput> out;
    out.swap(output_);
    return out;
}

bool EmuDevice::FaultApplies(const std::string& set, char scope) const {
    return set.find('*') != std::string::npos ||
           (scope != 0 && set.find(scope) != std::string::npos);
}

std::string EmuDevice::EchoOf(char c, char scope) const {
    if (FaultApplies(options_.noEcho, scope)) return {};
    if (FaultApplies(options_.wrongEcho, scope)) return "#";
    return std::string(1, c);
}

// Replies wait for the reply delay, so that they arrive after the host's echo read rather
// than inside it; a reply caught with the echo leaves the host waiting out its whole poll.
void EmuDevice::Reply(const std::string& text, EmuMicros now) {
    Emit(text, now + replyDelay_);
}

// "?" in place of the echo: the host takes the command as not recognised.
void EmuDevice::Refuse(EmuMicros now) {
    Emit("?", now);
    mode_ = Mode::Idle;
    command_.clear();
}

void EmuDevice::Note(const std::string& text) {
    if (Log) Log(text);
}

// ---------------------------------------------------------------------------------------------
// Devices and the button

EmuDeviceRecord& EmuDevice::Current() {
    if (!recordOpen_) {
        EmuDeviceRecord record;
        record.number = static_cast<int>(records_.size()) + 1;
        records_.push_back(record);
        recordOpen_ = true;
    }
    return records_.back();
}

void EmuDevice::Fail(const std::string& why) {
    EmuDeviceRecord& record = Current();
    if (record.failure.empty()) record.failure = why;
    Note("device " + std::to_string(record.number) + ": " + why);
}

void EmuDevice::CloseOpenRecord() {
    if (!recordOpen_) return;
    EmuDeviceRecord& record = records_.back();
    if (record.transferStarted && !record.transferEnded) Fail("transfer not finished");
    recordOpen_ = false;
    if (DeviceClosed) DeviceClosed(record);
}

bool EmuDevice::Finished() const {
    return options_.devices > 0 && poweredDown_ >= options_.devices;
}

void EmuDevice::SendP(EmuMicros now) {
    Emit("P", now, true);
    lastP_ = now;
}

void EmuDevice::Press(EmuMicros now) {
    CloseOpenRecord();
    const int number = Current().number;
    Note("device " + std::to_string(number) + ": button pressed");
    mode_ = Mode::Idle;
    command_.clear();
    addressReply_.clear();
    addressReplyAt_ = nextC_ = giveUpAt_ = blockDeadline_ = kEmuNever;
    inBlock_ = false;
    nextPress_ = kEmuNever;
    awaitingGreeting_ = true;
    SendP(now);
}

// The host only reacts to a "P" that ends what it has collected, and it may not be listening
// yet (or may have flushed the port on opening it): so the device repeats "P" while nobody has
// greeted it and the line has been quiet for a while.
EmuMicros EmuDevice::PResendAt() const {
    if (!awaitingGreeting_ || closeLine_ || mode_ == Mode::Transfer || mode_ == Mode::Address)
        return kEmuNever;
    return std::max({lastP_, lastInput_, lastOutput_}) + kPRepeat;
}

// ---------------------------------------------------------------------------------------------
// Time

EmuMicros EmuDevice::NextDeadline() const {
    EmuMicros next = std::min({nextPress_, PResendAt(), addressReplyAt_, nextC_, giveUpAt_});
    if (inBlock_) next = std::min(next, blockDeadline_);
    return next;
}

void EmuDevice::Tick(EmuMicros now) {
    if (closeLine_) return;
    if (nextPress_ <= now) Press(now);
    if (PResendAt() <= now) {
        mode_ = Mode::Idle;  // a greeting that stalled half-way starts afresh
        command_.clear();
        SendP(now);
    }
    if (addressReplyAt_ <= now) {
        Emit(addressReply_, addressReplyAt_);
        addressReply_.clear();
        addressReplyAt_ = kEmuNever;
    }
    if (nextC_ <= now) {
        Emit("C", now);
        ++cSent_;
        if (cSent_ < kCTries) {
            nextC_ = now + kCRepeat;
        } else {
            nextC_ = kEmuNever;
            giveUpAt_ = now + kCRepeat;
        }
    }
    if (giveUpAt_ <= now) {
        giveUpAt_ = kEmuNever;
        AbandonTransfer("no block after .X");
    }
    if (inBlock_ && blockDeadline_ <= now) {
        // A block that stops half-way is refused; the host does not resend, but the device
        // must be ready for whatever comes next.
        inBlock_ = false;
        blockDeadline_ = kEmuNever;
        ++Current().badBlocks;
        Fail("block " + std::to_string(blocksArrived_ + 1) + " incomplete (" +
             std::to_string(block_.size()) + " bytes)");
        Emit(std::string(1, static_cast<char>(kNak)), now);
    }
}

// ---------------------------------------------------------------------------------------------
// Commands

void EmuDevice::Receive(std::uint8_t byte, EmuMicros now) {
    if (closeLine_) return;
    lastInput_ = now;
    const char c = static_cast<char>(byte);
    switch (mode_) {
        case Mode::Transfer:
            ReceiveTransfer(byte, now);
            break;
        case Mode::Address:
            ReceiveAddress(c, now);
            break;
        case Mode::AwaitYes:
            ReceiveYes(c, now);
            break;
        case Mode::Command:
            ReceiveCommandLetter(c, now);
            break;
        case Mode::Argument:
            ReceiveArgument(c, now);
            break;
        case Mode::Idle:
            ReceiveIdle(c, now);
            break;
    }
}

void EmuDevice::ReceiveIdle(char c, EmuMicros now) {
    if (c == '.') {
        Emit(EchoOf(c, 0), now);
        command_ = ".";
        mode_ = Mode::Command;
    } else if (c == '\r') {
        Reply("\r\n", now);  // an empty line: a fresh line end
    } else if (c != '\n') {
        Emit("?", now);
    }
}

void EmuDevice::ReceiveCommandLetter(char c, EmuMicros now) {
    if (c == '.') {
        ReceiveIdle(c, now);  // a new command replaces an unfinished one
        return;
    }
    static const std::string kWithoutArguments = "VKCWBIQLX";
    std::size_t needed = 0;
    if (c == 'D') {
        needed = 4;
    } else if (c == 'R') {
        needed = 6;
    } else if (c == 'G') {
        needed = 1;
    } else if (kWithoutArguments.find(c) == std::string::npos) {
        Note("unknown command ." + Printable(std::string(1, c)));
        Refuse(now);
        return;
    }
    if (FaultApplies(options_.refuse, c)) {
        Note("refusing ." + std::string(1, c));
        Refuse(now);
        return;
    }
    command_ += c;
    if (needed == 0) {
        Complete(command_, EchoOf(c, c), now);
        return;
    }
    Emit(EchoOf(c, c), now);
    argsNeeded_ = needed;
    mode_ = Mode::Argument;
}

void EmuDevice::ReceiveArgument(char c, EmuMicros now) {
    if (c == '.') {
        ReceiveIdle(c, now);
        return;
    }
    const char letter = command_[1];
    const bool fits = letter == 'G' ? (c == '1' || c == '2') : IsHexDigit(c);
    if (!fits) {
        Note("bad argument character for ." + std::string(1, letter));
        Refuse(now);
        return;
    }
    command_ += c;
    if (command_.size() - 2 < argsNeeded_) {
        Emit(EchoOf(c, letter), now);
        return;
    }
    // Out-of-range numbers are refused on their last digit, as an unknown command would be.
    const unsigned value = HexValue(command_.substr(2));
    if ((letter == 'D' && value >= static_cast<unsigned>(flash_.Pages())) ||
        (letter == 'R' && value >= flash_.Size())) {
        Note("out of range: " + command_);
        Refuse(now);
        return;
    }
    Complete(command_, EchoOf(c, letter), now);
}

// A complete command: ask "y/n" first when told to, otherwise act.
void EmuDevice::Complete(std::string command, const std::string& echo, EmuMicros now) {
    const char letter = command[1];
    const bool greeting = letter == 'V' && awaitingGreeting_;
    if (letter != 'R' && !greeting && FaultApplies(options_.ynPrompt, letter)) {
        // The prompt travels with the echo so that the host's echo read sees it.
        Emit(echo + "y/n", now, true);
        mode_ = Mode::AwaitYes;
        return;
    }
    Execute(std::move(command), echo, now);
}

void EmuDevice::ReceiveYes(char c, EmuMicros now) {
    const std::string command = command_;
    if (c == '.') {
        Note("y/n prompt for " + command + " abandoned");
        ReceiveIdle(c, now);
    } else if (c == 'Y') {
        Execute(command, EchoOf(c, command[1]), now);
    } else {
        Note(command + " declined");
        Emit(EchoOf(c, command[1]), now);
        Reply("\r\n", now);
        mode_ = Mode::Idle;
        command_.clear();
    }
}

void EmuDevice::Execute(std::string command, const std::string& echo, EmuMicros now) {
    ++commands_;
    Note("device " + std::to_string(Current().number) + ": command " + command);
    mode_ = Mode::Idle;
    command_.clear();
    const char letter = command[1];
    switch (letter) {
        case 'V': {
            const std::string reply = "\r\n" + options_.fwVersion + "\r\n";
            if (awaitingGreeting_) {
                // The host reads the greeting's echo and moves straight on to its next command,
                // so the reply has to arrive with the echo or it would spoil that command.
                awaitingGreeting_ = false;
                Emit(echo + reply, now, true);
            } else {
                Emit(echo, now);
                Reply(reply, now);
            }
            break;
        }
        case 'K':
            Emit(echo, now);
            Reply("\r\n" + options_.status + " " + Hex(static_cast<unsigned>(flash_.Pages()), 4) +
                      "\r\n",
                  now);
            break;
        case 'C':
            flash_.Erase();
            Emit(echo, now);
            ProgressCounter(now + replyDelay_);
            break;
        case 'W':
            Emit(echo, now);
            ProgressCounter(now + replyDelay_);
            break;
        case 'D':
            Emit(echo, now);
            Reply("\r\n" + flash_.BankText(static_cast<int>(HexValue(command.substr(2)))) + "\r\n",
                  now);
            break;
        case 'B': {
            std::string text = "\r\n";
            for (const std::uint8_t b : receiveBuffer_) text += Hex(b, 2);
            Emit(echo, now);
            Reply(text + "\r\n", now);
            break;
        }
        case 'G': {
            const auto& buffer = command[2] == '1' ? primaryBuffer_ : secondaryBuffer_;
            std::string text = "\r\n";
            for (const std::uint8_t b : buffer) text += Hex(b, 2) + " ";
            Emit(echo, now);
            Reply(text + "\r\n", now);
            break;
        }
        case 'I':
        case 'L':
            Emit(echo, now);
            Reply("\r\n", now);
            break;
        case 'Q': {
            Emit(echo, now);
            Reply("\r\n", now);
            Current().poweredDown = true;
            ++poweredDown_;
            CloseOpenRecord();
            awaitingGreeting_ = false;
            const bool more = options_.devices == 0 || poweredDown_ < options_.devices;
            if (more && options_.pressAfterMs >= 0)
                nextPress_ = now + options_.nextDeviceMs * kMicrosPerMs;
            break;
        }
        case 'X':
            Emit(echo, now);
            StartTransfer(now);
            break;
        case 'R': {
            address_ = HexValue(command.substr(2));
            spaces_ = 0;
            valueHigh_ = 0;
            mode_ = Mode::Address;
            const std::string display = "\r\n" + Hex(flash_.Read(address_), 2) + "\r\n";
            if (replyDelay_ == 0) {
                Emit(echo + display, now, true);
            } else {
                // Held back: if the host goes on typing (a value, or the CR of a single read)
                // before the delay is over, that input decides what is shown instead.
                Emit(echo, now);
                addressReply_ = display;
                addressReplyAt_ = now + replyDelay_;
            }
            break;
        }
        default:
            break;
    }
}

// Pages done, as four hex digits each overwritten with backspaces. Every step goes out whole so
// that the host never sees half a number; the last one carries the line end that ends the
// command. On a paced line there is no point in sending steps faster than they can travel.
void EmuDevice::ProgressCounter(EmuMicros start) {
    const EmuMicros perPage = static_cast<EmuMicros>(options_.pageMs) * kMicrosPerMs;
    const EmuMicros interval =
        std::max<EmuMicros>(perPage, byteTime_ * static_cast<EmuMicros>(kCounterStepBytes));
    const int last = flash_.Pages() - 1;
    int page = 0;
    for (EmuMicros t = 0;;) {
        if (interval > 0)
            page = perPage > 0 ? static_cast<int>(std::min<EmuMicros>(last, t / perPage)) : last;
        const std::string step = Hex(static_cast<unsigned>(page), 4) + "\b\b\b\b";
        if (page == last) {
            Emit(step + "\r\n", start + t, true);
            return;
        }
        Emit(step, start + t, true);
        if (interval > 0)
            t += interval;
        else
            ++page;  // unpaced and instant: every page, one after another
    }
}

void EmuDevice::ReceiveAddress(char c, EmuMicros now) {
    // Whatever the host types supersedes the byte display that has not gone out yet.
    addressReply_.clear();
    addressReplyAt_ = kEmuNever;
    const std::string byteHere = Hex(flash_.Read(address_), 2);
    if (c == '\n') return;
    if (c == '\r') {
        // Show the byte and leave the mode; this doubles as the CR's echo.
        Emit("\r\n" + byteHere + "\r\n", now, true);
        mode_ = Mode::Idle;
        return;
    }
    if (c == ' ') {
        valueHigh_ = 0;
        if (++spaces_ < 2) {
            Emit(EchoOf(c, 'R'), now);
            return;
        }
        spaces_ = 0;
        if (address_ + 1 >= flash_.Size()) {
            Note("address mode ran past the end of flash");
            Refuse(now);
            return;
        }
        ++address_;
        Emit(EchoOf(c, 'R') + Hex(flash_.Read(address_), 2), now, true);
        return;
    }
    spaces_ = 0;
    if (IsHexDigit(c)) {
        if (valueHigh_ == 0) {
            valueHigh_ = c;
            Emit(EchoOf(c, 'R'), now);
            return;
        }
        const auto value = static_cast<std::uint8_t>(HexValue(std::string{valueHigh_, c}));
        valueHigh_ = 0;
        if (!options_.badWrite) flash_.Program(address_, value);
        Note("address " + Hex(static_cast<unsigned>(address_), 6) + " written " + Hex(value, 2) +
             ", reads " + Hex(flash_.Read(address_), 2));
        // The read-back travels with the echo, so the host compares what really is in flash.
        Emit(EchoOf(c, 'R') + " " + Hex(flash_.Read(address_), 2), now, true);
        return;
    }
    mode_ = Mode::Idle;
    if (c == '.') {
        ReceiveIdle(c, now);
        return;
    }
    Refuse(now);
}

// ---------------------------------------------------------------------------------------------
// Binary transfer

void EmuDevice::StartTransfer(EmuMicros now) {
    EmuDeviceRecord& record = Current();
    record.transferStarted = true;
    record.transferEnded = false;
    record.image.clear();
    record.goodBlocks = 0;
    record.badBlocks = 0;
    record.failure.clear();
    record.flashDataBytes = 0;
    mode_ = Mode::Transfer;
    inBlock_ = false;
    blockSeen_ = false;
    blocksArrived_ = 0;
    expectedBlock_ = 1;
    cSent_ = 0;
    if (options_.neverC) {
        nextC_ = kEmuNever;
        giveUpAt_ = now + kFirstCDelay + kCTries * kCRepeat;
    } else {
        nextC_ = now + kFirstCDelay;
    }
}

void EmuDevice::AbandonTransfer(const std::string& why) {
    Fail(why);
    mode_ = Mode::Idle;
    inBlock_ = false;
    nextC_ = giveUpAt_ = blockDeadline_ = kEmuNever;
}

void EmuDevice::ReceiveTransfer(std::uint8_t byte, EmuMicros now) {
    if (inBlock_) {
        block_.push_back(byte);
        blockDeadline_ = now + kBlockTimeout;
        if (block_.size() == kBlockBytes) FinishBlock(now);
        return;
    }
    if (byte == kSoh) {
        inBlock_ = true;
        blockSeen_ = true;
        block_.assign(1, byte);
        nextC_ = giveUpAt_ = kEmuNever;
        blockDeadline_ = now + kBlockTimeout;
    } else if (byte == kEot) {
        Emit(EchoOf(static_cast<char>(kEot), 'X'), now);
        EndTransfer(now);
    } else if (byte == '.') {
        AbandonTransfer("transfer left for a new command");
        ReceiveIdle('.', now);
    } else {
        Note("stray byte " + Hex(byte, 2) + " between blocks");
    }
}

void EmuDevice::FinishBlock(EmuMicros now) {
    inBlock_ = false;
    blockDeadline_ = kEmuNever;
    const int k = ++blocksArrived_;
    EmuDeviceRecord& record = Current();
    const std::string name = "block " + std::to_string(k);
    if (options_.closeAt == k) {
        Fail(name + ": closing the line (fault switch)");
        closeLine_ = true;
        return;
    }
    if (options_.noAckAt == k) {
        ++record.badBlocks;
        Fail(name + ": left unanswered (fault switch)");
        return;
    }
    const std::string nak(1, static_cast<char>(kNak));
    if (options_.nakAt == k) {
        ++record.badBlocks;
        Fail(name + ": NAK (fault switch)");
        Emit(nak, now);
        return;
    }
    const std::uint8_t number = block_[1];
    const std::uint16_t sent = static_cast<std::uint16_t>((block_[131] << 8) | block_[132]);
    const auto computed = static_cast<std::uint16_t>(crc_.CRC16(block_.data() + 3, kBlockData));
    if (block_[2] != static_cast<std::uint8_t>(255 - number)) {
        ++record.badBlocks;
        Fail(name + ": complement " + Hex(block_[2], 2) + " does not match number " +
             Hex(number, 2));
        Emit(nak, now);
        return;
    }
    if (sent != computed) {
        ++record.badBlocks;
        Fail(name + ": CRC " + Hex(sent, 4) + ", computed " + Hex(computed, 4));
        Emit(nak, now);
        return;
    }
    if (number != expectedBlock_) {
        if (number == static_cast<std::uint8_t>(expectedBlock_ - 1) && record.goodBlocks > 0) {
            Note(name + ": repeat of the previous block, acknowledged and dropped");
            Emit(std::string(1, static_cast<char>(kAck)), now);
            return;
        }
        ++record.badBlocks;
        Fail(name + ": number " + Hex(number, 2) + ", expected " + Hex(expectedBlock_, 2));
        Emit(nak, now);
        return;
    }
    record.image.insert(record.image.end(), block_.begin() + 3, block_.begin() + 3 + kBlockData);
    receiveBuffer_.assign(block_.begin() + 3, block_.begin() + 3 + kBlockData);
    ++record.goodBlocks;
    ++expectedBlock_;
    Emit(std::string(1, static_cast<char>(kAck)), now);
}

void EmuDevice::EndTransfer(EmuMicros) {
    mode_ = Mode::Idle;
    nextC_ = giveUpAt_ = kEmuNever;
    EmuDeviceRecord& record = Current();
    record.transferEnded = true;
    Note("device " + std::to_string(record.number) + ": EOT after " +
         std::to_string(record.goodBlocks) + " blocks");
    if (record.badBlocks != 0 || !record.failure.empty()) return;  // a flawed image is not kept
    record.flashDataBytes = flash_.ProgramImage(record.image);
    // The flash RAM buffers hold the last two banks written.
    const auto bank = static_cast<std::size_t>(flash_.BankSize());
    if (record.flashDataBytes > 0) {
        const std::size_t lastBank = (record.flashDataBytes - 1) / bank;
        const auto copyBank = [&](std::size_t b, std::vector<std::uint8_t>& into) {
            into.assign(flash_.Bytes().begin() + static_cast<std::ptrdiff_t>(b * bank),
                        flash_.Bytes().begin() + static_cast<std::ptrdiff_t>((b + 1) * bank));
        };
        copyBank(lastBank, primaryBuffer_);
        if (lastBank > 0) copyBank(lastBank - 1, secondaryBuffer_);
    }
}
