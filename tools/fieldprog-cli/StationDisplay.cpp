#include "StationDisplay.h"

#include <algorithm>
#include <cstdio>

#include "Terminal.h"

namespace {

constexpr auto kRedrawEvery =
    std::chrono::milliseconds(200);  // progress redraws at most this often

}  // namespace

StationDisplay::StationDisplay(std::vector<std::string> ports, bool interactive)
    : interactive_(interactive) {
    for (std::string& port : ports) {
        width_ = std::max(width_, port.size());
        Line line;
        line.port = std::move(port);
        lines_.push_back(std::move(line));
    }
}

std::string StationDisplay::Text(const Line& line) const {
    char counts[64];
    std::snprintf(counts, sizeof counts, "  done %3d  failed %3d", line.done, line.failed);
    std::string state = line.state;
    if (line.percent >= 0) state += " " + std::to_string(line.percent) + "%";
    state.resize(std::max<std::size_t>(state.size(), 28), ' ');
    std::string port = line.port;
    port.resize(width_, ' ');
    return port + "  " + state + counts;
}

// Moves up over the table drawn last time and draws it again, line by line.
void StationDisplay::Redraw() {
    std::string text;
    if (drawn_) text = "\x1b[" + std::to_string(lines_.size()) + "A";
    for (const Line& line : lines_) text += "\r\x1b[2K" + Text(line) + "\n";
    terminal::Write(terminal::Stream::Err, text);
    drawn_ = true;
    lastDraw_ = std::chrono::steady_clock::now();
}

void StationDisplay::Write(const std::string& text) {
    terminal::Write(terminal::Stream::Err, text + "\n");
}

void StationDisplay::State(std::size_t port, const std::string& state, int percent) {
    std::lock_guard<std::mutex> lock(mutex_);
    Line& line = lines_.at(port);
    const bool changed = line.state != state;
    line.state = state;
    line.percent = percent;
    if (interactive_) {
        Redraw();
    } else if (changed) {
        Write(line.port + ": " + state);
    }
}

void StationDisplay::Percent(std::size_t port, int percent) {
    std::lock_guard<std::mutex> lock(mutex_);
    Line& line = lines_.at(port);
    if (line.percent == percent) return;
    line.percent = percent;
    if (interactive_ && std::chrono::steady_clock::now() - lastDraw_ >= kRedrawEvery) Redraw();
}

void StationDisplay::Event(std::size_t port, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string message = lines_.at(port).port + ": " + text;
    if (!interactive_) return Write(message);
    // The message takes the table's first line and the table is drawn again below it.
    std::string out = drawn_ ? "\x1b[" + std::to_string(lines_.size()) + "A" : std::string();
    out += "\r\x1b[2K" + message + "\n";
    for (const Line& line : lines_) out += "\r\x1b[2K" + Text(line) + "\n";
    terminal::Write(terminal::Stream::Err, out);
    drawn_ = true;
    lastDraw_ = std::chrono::steady_clock::now();
}

void StationDisplay::Count(std::size_t port, bool programmed) {
    std::lock_guard<std::mutex> lock(mutex_);
    Line& line = lines_.at(port);
    ++(programmed ? line.done : line.failed);
}

void StationDisplay::Finish() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (interactive_) Redraw();
}

int StationDisplay::Programmed(std::size_t port) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.at(port).done;
}

int StationDisplay::Failed(std::size_t port) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.at(port).failed;
}
