#include "StationDisplay.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "Terminal.h"

namespace {

constexpr auto kRedrawEvery =
    std::chrono::milliseconds(200);        // progress redraws at most this often
constexpr std::size_t kStateColumns = 28;  // the state column, padded to line the counts up
constexpr std::size_t kShortestName = 8;   // a port name is cut no shorter than this
constexpr std::size_t kMaxMessages = 200;  // held for a console that does not read; then dropped

bool Continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// Screen columns of UTF-8 text, one per character.
std::size_t Width(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return !Continuation(c); }));
}

// The first `columns` characters of the text.
std::string Cut(const std::string& text, std::size_t columns) {
    std::size_t at = 0;
    for (std::size_t seen = 0; at < text.size(); ++at) {
        if (!Continuation(text[at]) && seen++ == columns) break;
    }
    return text.substr(0, at);
}

// Its last `columns` characters.
std::string Tail(const std::string& text, std::size_t columns) {
    const std::size_t width = Width(text);
    if (width <= columns) return text;
    std::size_t at = Cut(text, width - columns).size();
    return text.substr(at);
}

// A name no wider than `columns`: its start and its end, which tells ports apart (an adaptor's
// serial number, "-if00-port0"), with a ~ where the middle was.
std::string Elide(const std::string& text, std::size_t columns) {
    if (Width(text) <= columns) return text;
    const std::size_t head = (columns - 1) / 2;
    return Cut(text, head) + "~" + Tail(text, columns - 1 - head);
}

std::string Padded(std::string text, std::size_t columns) {
    const std::size_t width = Width(text);
    if (width < columns) text.append(columns - width, ' ');
    return text;
}

// The screen shows a port by the last part of its path.
std::string ShortName(const std::string& port) {
    const std::size_t slash = port.find_last_of("/\\");
    return slash == std::string::npos || slash + 1 == port.size() ? port : port.substr(slash + 1);
}

}  // namespace

StationDisplay::StationDisplay(std::vector<std::string> ports, bool interactive)
    : interactive_(interactive) {
    for (std::string& port : ports) {
        Line line;
        line.shown = ShortName(port);
        line.port = std::move(port);
        lines_.push_back(std::move(line));
    }
    drawer_ = std::thread([this] { Draw(); });
}

StationDisplay::~StationDisplay() {
    Finish();
}

// One line per port, each cut to fit the terminal's width, so that moving up by the number of
// ports lands on the first again.
std::string StationDisplay::Table(int columns) const {
    const std::size_t usable = static_cast<std::size_t>(std::max(columns - 1, 1));
    std::size_t names = 0;
    for (const Line& line : lines_) names = std::max(names, Width(line.shown));
    constexpr std::size_t kCountColumns = 22;
    const std::size_t room = usable > kStateColumns + kCountColumns + 2 + kShortestName
                                 ? usable - kStateColumns - kCountColumns - 2
                                 : kShortestName;
    names = std::min(names, room);
    std::string table;
    for (const Line& line : lines_) {
        char counts[64];
        std::snprintf(counts, sizeof counts, "  done %3d  failed %3d", line.done, line.failed);
        std::string state = line.state;
        if (line.percent >= 0) state += " " + std::to_string(line.percent) + "%";
        const std::string text =
            Padded(Elide(line.shown, names), names) + "  " + Padded(state, kStateColumns) + counts;
        table += "\r\x1b[2K" + Cut(text, usable) + "\n";
    }
    return table;
}

void StationDisplay::Post(std::string text) {
    if (messages_.size() >= kMaxMessages) {
        messages_.pop_front();
        ++dropped_;
    }
    messages_.push_back(std::move(text));
    urgent_ = true;
    wake_.notify_one();
}

// Takes what the ports posted and writes it with the lock released: a write that blocks holds
// up this thread alone.
void StationDisplay::Draw() {
    bool drawn = false;  // a table is on the screen to be drawn over
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, kRedrawEvery, [this] { return urgent_ || finishing_; });
        const bool last = finishing_ && messages_.empty();
        std::deque<std::string> messages;
        messages.swap(messages_);
        if (dropped_ > 0) {
            messages.push_front("(" + std::to_string(std::exchange(dropped_, 0)) +
                                " messages dropped: the console did not take them)");
        }
        std::string out;
        if (interactive_ && (changed_ || !messages.empty() || last)) {
            if (drawn) out = "\x1b[" + std::to_string(lines_.size()) + "A";
            for (const std::string& message : messages) out += "\r\x1b[2K" + message + "\n";
            out += Table(terminal::Columns(terminal::Stream::Err));
            drawn = true;
        } else if (!interactive_) {
            for (const std::string& message : messages) out += message + "\n";
        }
        changed_ = urgent_ = false;
        lock.unlock();
        if (!out.empty()) terminal::Write(terminal::Stream::Err, out);
        lock.lock();
        if (last) return;
    }
}

void StationDisplay::State(std::size_t port, const std::string& state, int percent) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Line& line = lines_.at(port);
    const bool changed = line.state != state;
    line.state = state;
    line.percent = percent;
    changed_ = true;
    if (!interactive_ && changed) return Post(line.port + ": " + state);
    urgent_ = true;
    wake_.notify_one();
}

void StationDisplay::Percent(std::size_t port, int percent) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Line& line = lines_.at(port);
    if (line.percent == percent) return;
    line.percent = percent;
    changed_ = true;  // drawn at the next round
}

void StationDisplay::Event(std::size_t port, const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Post(lines_.at(port).port + ": " + text);
}

void StationDisplay::Count(std::size_t port, bool programmed) {
    const std::lock_guard<std::mutex> lock(mutex_);
    Line& line = lines_.at(port);
    ++(programmed ? line.done : line.failed);
    changed_ = true;
}

void StationDisplay::Finish() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;
        wake_.notify_one();
    }
    if (drawer_.joinable()) drawer_.join();
}

int StationDisplay::Programmed(std::size_t port) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lines_.at(port).done;
}

int StationDisplay::Failed(std::size_t port) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return lines_.at(port).failed;
}
