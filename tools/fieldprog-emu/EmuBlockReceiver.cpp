#include "EmuBlockReceiver.h"

#include <algorithm>

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

}  // namespace

EmuBlockReceiver::EmuBlockReceiver(const EmuOptions& options, EmuFlash& flash,
                                   const EmuCommandTable& table, EmuOutbox& out)
    : options_(options), flash_(flash), table_(table), out_(out), lastBlock_(kBlockData, 0x00) {}

void EmuBlockReceiver::Reset() {
    active_ = inBlock_ = false;
    nextC_ = giveUpAt_ = blockDeadline_ = kEmuNever;
}

EmuMicros EmuBlockReceiver::NextDeadline() const {
    return std::min({nextC_, giveUpAt_, inBlock_ ? blockDeadline_ : kEmuNever});
}

void EmuBlockReceiver::Fail(const std::string& why, EmuDeviceRecord& record) {
    record.Fail(why);
    out_.Note("device " + std::to_string(record.number) + ": " + why);
}

void EmuBlockReceiver::Start(EmuMicros now, EmuDeviceRecord& record) {
    record.transferStarted = true;
    record.transferEnded = false;
    record.image.clear();
    record.goodBlocks = 0;
    record.badBlocks = 0;
    record.failure.clear();
    record.flashDataBytes = 0;
    Reset();
    active_ = true;
    blocksArrived_ = 0;
    expectedBlock_ = 1;
    cSent_ = 0;
    if (options_.neverC)
        giveUpAt_ = now + kFirstCDelay + kCTries * kCRepeat;
    else
        nextC_ = now + kFirstCDelay;
}

void EmuBlockReceiver::Abandon(const std::string& why, EmuDeviceRecord& record) {
    Fail(why, record);
    Reset();
}

void EmuBlockReceiver::Tick(EmuMicros now, EmuDeviceRecord& record) {
    if (nextC_ <= now) {
        out_.Emit("C", now);
        ++cSent_;
        if (cSent_ < kCTries) {
            nextC_ = now + kCRepeat;
        } else {
            nextC_ = kEmuNever;
            giveUpAt_ = now + kCRepeat;
        }
    }
    if (giveUpAt_ <= now) Abandon("no block after .X", record);
    if (inBlock_ && blockDeadline_ <= now) {
        // A block that stops half-way is refused; the host does not resend, but the device
        // must be ready for whatever comes next.
        inBlock_ = false;
        blockDeadline_ = kEmuNever;
        ++record.badBlocks;
        Fail("block " + std::to_string(blocksArrived_ + 1) + " incomplete (" +
                 std::to_string(block_.size()) + " bytes)",
             record);
        Answer(kNak, now);
    }
}

void EmuBlockReceiver::Receive(std::uint8_t byte, EmuMicros now, EmuDeviceRecord& record) {
    if (inBlock_) {
        block_.push_back(byte);
        blockDeadline_ = now + kBlockTimeout;
        if (block_.size() == kBlockBytes) FinishBlock(now, record);
    } else if (byte == kSoh) {
        inBlock_ = true;
        block_.assign(1, byte);
        nextC_ = giveUpAt_ = kEmuNever;
        blockDeadline_ = now + kBlockTimeout;
    } else if (byte == kEot) {
        if (options_.eotAnswer == EmuEotAnswer::Echo)
            out_.Emit(table_.EchoOf(static_cast<char>(kEot), 'X'), now);
        else if (options_.eotAnswer == EmuEotAnswer::Ack)
            Answer(kAck, now);
        record.eotAt = now;
        End(record);
    } else if (byte == '.') {
        Abandon("transfer left for a new command", record);
    } else {
        out_.Note("stray byte " + EmuHex(byte, 2) + " between blocks");
    }
}

void EmuBlockReceiver::FinishBlock(EmuMicros now, EmuDeviceRecord& record) {
    inBlock_ = false;
    blockDeadline_ = kEmuNever;
    const int k = ++blocksArrived_;
    const std::string name = "block " + std::to_string(k);
    const auto refuse = [&](const std::string& why) {
        ++record.badBlocks;
        Fail(name + ": " + why, record);
        Answer(kNak, now);
    };
    if (options_.closeAt == k) {
        Fail(name + ": closing the line (fault switch)", record);
        lineClosed_ = true;
        return;
    }
    if (options_.noAckAt == k) {
        ++record.badBlocks;
        Fail(name + ": left unanswered (fault switch)", record);
        return;
    }
    if (options_.nakAt == k) return refuse("NAK (fault switch)");
    const std::uint8_t number = block_[1];
    const auto sent = static_cast<std::uint16_t>((block_[131] << 8) | block_[132]);
    const auto computed = EmuCrc16(block_.data() + 3, kBlockData);
    if (block_[2] != static_cast<std::uint8_t>(255 - number))
        return refuse("complement " + EmuHex(block_[2], 2) + " does not match number " +
                      EmuHex(number, 2));
    if (sent != computed)
        return refuse("CRC " + EmuHex(sent, 4) + ", computed " + EmuHex(computed, 4));
    if (number != expectedBlock_) {
        if (number == static_cast<std::uint8_t>(expectedBlock_ - 1) && record.goodBlocks > 0) {
            out_.Note(name + ": repeat of the previous block, acknowledged and dropped");
            return Answer(kAck, now);
        }
        return refuse("number " + EmuHex(number, 2) + ", expected " + EmuHex(expectedBlock_, 2));
    }
    record.image.insert(record.image.end(), block_.begin() + 3, block_.begin() + 3 + kBlockData);
    lastBlock_.assign(block_.begin() + 3, block_.begin() + 3 + kBlockData);
    ++record.goodBlocks;
    ++expectedBlock_;
    Answer(kAck, now);
}

void EmuBlockReceiver::End(EmuDeviceRecord& record) {
    Reset();
    record.transferEnded = true;
    out_.Note("device " + std::to_string(record.number) + ": EOT after " +
              std::to_string(record.goodBlocks) + " blocks");
    if (record.badBlocks != 0 || !record.failure.empty()) return;  // a flawed image is not kept
    record.flashDataBytes = flash_.ProgramImage(record.image);
}
