#include "EmuPacer.h"

#include <algorithm>

namespace {
constexpr std::int64_t kBitsPerByte = 10;  // start bit, eight data bits, stop bit
constexpr std::int64_t kMicrosPerSecond = 1000000;
}  // namespace

EmuPacer::EmuPacer(int baud) : baud_(baud) {}

EmuMicros EmuPacer::Duration(std::size_t bytes) const {
    if (baud_ <= 0) return 0;
    const std::int64_t bits = static_cast<std::int64_t>(bytes) * kBitsPerByte;
    return (bits * kMicrosPerSecond + baud_ - 1) / baud_;
}

std::size_t EmuPacer::BytesDone(EmuMicros since, EmuMicros now) const {
    if (now < since) return 0;
    const std::int64_t bits = (now - since) * baud_ / kMicrosPerSecond;
    return static_cast<std::size_t>(bits / kBitsPerByte);
}

void EmuPacer::Received(const std::string& bytes, EmuMicros now) {
    for (const char c : bytes) {
        const EmuMicros arrival = std::max(now, inputFree_) + Duration(1);
        inputFree_ = arrival;
        input_.emplace_back(static_cast<std::uint8_t>(c), arrival);
    }
}

bool EmuPacer::TakeInput(EmuMicros now, std::uint8_t& byte, EmuMicros& arrival) {
    if (input_.empty() || input_.front().second > now) return false;
    byte = input_.front().first;
    arrival = input_.front().second;
    input_.pop_front();
    return true;
}

void EmuPacer::Queue(EmuOutput output) {
    if (!output.bytes.empty()) output_.push_back(std::move(output));
}

EmuMicros EmuPacer::HeadStart() const {
    if (headStart_ >= 0) return headStart_;
    return std::max(output_.front().notBefore, outputFree_);
}

std::string EmuPacer::TakeDue(EmuMicros now) {
    std::string due;
    while (!output_.empty()) {
        EmuOutput& head = output_.front();
        if (headStart_ < 0) {
            const EmuMicros start = HeadStart();
            if (start > now) break;
            headStart_ = start;
            headPos_ = 0;
        }
        const std::size_t size = head.bytes.size();
        const std::size_t done = baud_ <= 0 ? size : std::min(size, BytesDone(headStart_, now));
        // Each byte is handed over as it finishes on the line, wherever that cuts the host's reads.
        const std::size_t take = std::max(headPos_, done);
        if (take > headPos_) {
            due.append(head.bytes, headPos_, take - headPos_);
            headPos_ = take;
        }
        if (headPos_ < size) break;
        outputFree_ = headStart_ + Duration(size);
        output_.pop_front();
        headStart_ = -1;
        headPos_ = 0;
    }
    return due;
}

EmuMicros EmuPacer::NextDeadline() const {
    EmuMicros next = input_.empty() ? kEmuNever : input_.front().second;
    if (!output_.empty()) {
        const EmuOutput& head = output_.front();
        const EmuMicros start = HeadStart();
        const std::size_t from = headStart_ >= 0 ? headPos_ : 0;
        next = std::min(next, start + Duration(std::min(head.bytes.size(), from + 1)));
    }
    return next;
}
