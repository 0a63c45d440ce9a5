#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "EmuDevice.h"
#include "EmuOptions.h"
#include "EmuPacer.h"

struct EmuCounters {
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    std::uint64_t commands = 0;
    int devicesClosed = 0;
};

// Runs one emulated Field Programmer on a fresh pseudo-terminal, on a thread of its own. The
// command-line tool and in-process tests both use it: start it, point the host at SlavePath(),
// and read the received images and flash back from here.
class EmuServer {
  public:
    explicit EmuServer(EmuOptions options);
    ~EmuServer();  // stops the device and removes the symlink
    EmuServer(const EmuServer&) = delete;
    EmuServer& operator=(const EmuServer&) = delete;

    // Creates the pseudo-terminal (and the symlink) and starts the device. False with a message
    // when the terminal, the link or the --expect file cannot be had.
    bool Start(std::string& error);
    // The pseudo-terminal's path (a new one after each replug).
    std::string SlavePath() const;

    // All three are safe to call from a signal handler.
    void RequestPress();
    void RequestStop();
    // Pulls the line out as if a USB adaptor were unplugged: the pseudo-terminal closes, so the
    // host's open port hangs up, and the symlink goes. After `ms` a fresh pseudo-terminal takes
    // its place, at the same symlink, with a freshly plugged device. Result lines "UNPLUGGED"
    // and "PORT <path>" mark both moments.
    void RequestUnplug(int ms);

    // Negative timeouts wait without limit. True when the condition was reached.
    bool WaitStopped(int timeoutMs);
    bool WaitDevicesClosed(int count, int timeoutMs);

    std::vector<EmuDeviceRecord> Devices() const;  // ended and in progress
    std::vector<std::uint8_t> FlashBytes() const;
    EmuCounters Counters() const;
    // No device failed or mismatched, every device asked for was served, and the line came back
    // after every unplug.
    bool Succeeded() const;

    // Result lines ("DEVICE ...", "UNPLUGGED", "PORT ...", "DONE ...") and diagnostics. They are
    // called on the device thread without any lock held; set them before Start().
    std::function<void(const std::string&)> ResultLine;
    std::function<void(const std::string&)> LogLine;

  private:
    void Run();
    bool OpenLine(std::string& error);
    void Unplug(EmuMicros now, int ms);
    bool Replug(EmuMicros now);
    void WriteDue(std::int64_t now);
    void FlushUnsent();
    bool ReadInput();  // false when the other end has hung up
    void CloseLine();
    void OnDeviceClosed(EmuDeviceRecord& record);
    void SaveImage(const EmuDeviceRecord& record);
    void Deliver();

    EmuOptions options_;
    std::string slavePath_;
    std::vector<std::uint8_t> expected_;
    bool linkCreated_ = false;
    int master_ = -1;
    int slave_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<EmuDevice> device_;
    EmuPacer pacer_;
    std::string unsent_;  // due bytes the pseudo-terminal has not taken yet
    EmuCounters counters_;
    bool stopped_ = false;
    std::vector<std::string> pendingResults_;
    std::vector<std::string> pendingLogs_;

    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> pressRequested_{false};
    std::atomic<int> unplugMs_{-1};   // -1: no unplug asked for
    EmuMicros replugAt_ = kEmuNever;  // kEmuNever while the line is in
    bool replugFailed_ = false;
    std::thread thread_;
};
