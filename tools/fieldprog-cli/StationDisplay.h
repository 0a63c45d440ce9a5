#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

// What a programming station shows while its ports work, shared by the ports' workers. On a
// terminal one line per port is redrawn in place (port, state, percent, devices done and
// failed) with messages printed above it; in a pipe every event becomes one line that starts
// with its port.
class StationDisplay {
  public:
    StationDisplay(std::vector<std::string> ports, bool interactive);

    // The port's state ("waiting for the button", "clearing", ...); a percent below 0 shows none.
    void State(std::size_t port, const std::string& state, int percent = -1);
    // Progress of the state the port is in; redrawn now and then, not printed in a pipe.
    void Percent(std::size_t port, int percent);
    // A line about the port: a device's result, a port that went away.
    void Event(std::size_t port, const std::string& text);
    void Count(std::size_t port, bool programmed);
    // Draws the last state once more and leaves the table on the screen.
    void Finish();

    int Programmed(std::size_t port) const;
    int Failed(std::size_t port) const;

  private:
    struct Line {
        std::string port;
        std::string state = "starting";
        int percent = -1;
        int done = 0;
        int failed = 0;
    };
    std::string Text(const Line& line) const;
    void Redraw();
    void Write(const std::string& text);

    mutable std::mutex mutex_;
    std::vector<Line> lines_;
    bool interactive_;
    std::size_t width_ = 0;  // of the widest port name
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDraw_{};
};
