#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What a programming station shows while its ports work. The ports' workers only post their
// states, progress and messages; a thread of the display's own draws them, so that a console
// that stops reading (Ctrl-S, a selection in a Windows console) holds up the screen, never a
// transfer. On a terminal one line per port (its short name, state, percent, devices done and
// failed), cut to the terminal's width, is redrawn in place with messages printed above it; in
// a pipe every event becomes one line that starts with the port's full name.
class StationDisplay {
  public:
    StationDisplay(std::vector<std::string> ports, bool interactive);
    ~StationDisplay();
    StationDisplay(const StationDisplay&) = delete;
    StationDisplay& operator=(const StationDisplay&) = delete;

    // The port's state ("waiting for the button", "clearing", ...); a percent below 0 shows none.
    void State(std::size_t port, const std::string& state, int percent = -1);
    // Progress of the state the port is in; redrawn now and then, not printed in a pipe.
    void Percent(std::size_t port, int percent);
    // A line about the port: a device's result, a port that went away.
    void Event(std::size_t port, const std::string& text);
    void Count(std::size_t port, bool programmed);
    // Draws what is still to be drawn and the table a last time, and ends the drawing thread.
    // Waits for a terminal that does not read.
    void Finish();

    int Programmed(std::size_t port) const;
    int Failed(std::size_t port) const;

  private:
    struct Line {
        std::string port;   // in full, for pipes
        std::string shown;  // the short name for the screen
        std::string state = "starting";
        int percent = -1;
        int done = 0;
        int failed = 0;
    };
    void Post(std::string text);           // with the mutex held
    std::string Table(int columns) const;  // with the mutex held
    void Draw();                           // the drawing thread

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Line> lines_;
    std::deque<std::string> messages_;  // not drawn yet
    std::size_t dropped_ = 0;           // messages a console that did not read made room for
    bool changed_ = false;              // the table differs from what was drawn
    bool urgent_ = false;               // a state or a message: drawn at once
    bool finishing_ = false;
    const bool interactive_;
    std::thread drawer_;
};
