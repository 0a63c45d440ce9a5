#include "Console.h"

#include <algorithm>
#include <cstdio>

#include "StringTable.h"
#include "Terminal.h"

namespace {

constexpr int kBarWidth = 30;      // characters of the terminal progress bar
constexpr int kPlainStepPct = 10;  // a plain progress line every ten percent
// Texts held for a terminal that does not read; beyond this the oldest of standard error go.
constexpr std::size_t kMaxQueued = 1000;

const char* PhaseName(std::int32_t type) {
    switch (type) {
        case 0:
            return "Searching for the program name";
        case 1:
            return "Reading the flash";
        case 2:
            return "Reading bytes";
        case 3:
            return "Clearing the flash";
        case 4:
            return "Rewriting the flash";
        case 5:
            return "Transferring";
        case 6:
            return "Finding the end of the data";
        default:
            return "Working";
    }
}

}  // namespace

Console::Console()
    : interactive_(terminal::IsInteractive(terminal::Stream::Err)), writer_([this] { Writer(); }) {}

Console::~Console() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ending_ = true;
    }
    wake_.notify_all();
    writer_.join();
}

void Console::Put(terminal::Stream stream, std::string text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.size() >= kMaxQueued) {
        // Results on standard output are kept: scripts read them.
        const auto err = std::find_if(queue_.begin(), queue_.end(), [](const auto& entry) {
            return entry.first == terminal::Stream::Err;
        });
        if (err != queue_.end()) {
            queue_.erase(err);
            ++dropped_;
        }
    }
    queue_.emplace_back(stream, std::move(text));
    wake_.notify_all();
}

// Writes with the lock released: a write that blocks holds up this thread alone.
void Console::Writer() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return !queue_.empty() || ending_; });
        if (queue_.empty()) return;  // ending, and all written
        std::deque<std::pair<terminal::Stream, std::string>> texts;
        texts.swap(queue_);
        if (dropped_ > 0) {
            texts.emplace_front(terminal::Stream::Err,
                                "(" + std::to_string(std::exchange(dropped_, 0)) +
                                    " lines dropped: the terminal did not take them)\n");
        }
        writing_ = true;
        lock.unlock();
        for (const auto& [stream, text] : texts) terminal::Write(stream, text);
        lock.lock();
        writing_ = false;
        wake_.notify_all();
    }
}

void Console::Flush() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return queue_.empty() && !writing_; });
}

void Console::Language(std::int16_t offset) {
    // An offset the table has no texts for would blank every status line: stay English.
    language_ = LoadResString(159 + offset).empty() ? 0 : offset;
}

std::string Console::Text(int englishId) const {
    std::string text = LoadResString(englishId + language_);
    return text.empty() ? LoadResString(englishId) : text;
}

void Console::Line(terminal::Stream stream, const std::string& line) {
    EndProgress();
    Put(stream, line + "\n");
}

void Console::Result(const std::string& line) {
    Line(terminal::Stream::Out, line);
}
void Console::Status(const std::string& line) {
    Line(terminal::Stream::Err, line);
}
void Console::Error(const std::string& line) {
    Line(terminal::Stream::Err, "fieldprog-cli: " + line);
}

void Console::DeviceError(const std::string& what, std::int32_t number,
                          const std::string& message) {
    if (number != 0) {
        Error(what + ": " + message + " (error " + std::to_string(number) + ")");
    } else {
        Error(what + ".");
    }
}

void Console::Progress(std::int16_t percent, std::int32_t type) {
    if (percent < 0 || percent > 100) return;  // not a percentage: ignore, as the window does
    if (type != currentType_) {
        EndProgress();
        currentType_ = type;
        lastShown_ = -1;
    }
    if (interactive_) {
        if (percent == lastShown_) return;
        const int filled = percent * kBarWidth / 100;
        char line[160];
        std::snprintf(line, sizeof line, "\r%-31s [%s%s] %3d%%", PhaseName(type),
                      std::string(static_cast<std::size_t>(filled), '#').c_str(),
                      std::string(static_cast<std::size_t>(kBarWidth - filled), '.').c_str(),
                      static_cast<int>(percent));
        Put(terminal::Stream::Err, line);
        lineOpen_ = true;
        lastShown_ = percent;
        return;
    }
    // Logs and pipes get a line at the start, at every ten percent and at the end.
    const int step = percent / kPlainStepPct * kPlainStepPct;
    if (lastShown_ >= 0 && step <= lastShown_) return;
    lastShown_ = step;
    Put(terminal::Stream::Err, std::string(PhaseName(type)) + ": " + std::to_string(step) + "%\n");
}

void Console::EndProgress() {
    if (lineOpen_) Put(terminal::Stream::Err, "\n");
    lineOpen_ = false;
    currentType_ = -1;
    lastShown_ = -1;
}
