#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A child process with its standard output and error collected in the background, so that
// it never blocks on a full pipe and the test can wait for a line to appear.
class Subprocess {
public:
    // Starts argv[0] with the test's environment plus `env` (a value of "" removes a name).
    Subprocess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {});
    ~Subprocess();  // kills and reaps a child that is still running
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // Waits until `found` holds for the output so far (stdout, stderr); false after
    // `timeoutMs` or when the child's output ended without it.
    bool WaitFor(const std::function<bool(const std::string&, const std::string&)>& found,
                 int timeoutMs);
    bool WaitForStdout(const std::string& text, int timeoutMs);
    bool WaitForStderr(const std::string& text, int timeoutMs);

    // The exit code (128 + n after signal n); -1 when it did not end in time (it is then
    // killed).
    int Wait(int timeoutMs);
    void Signal(int signo);
    pid_t Pid() const { return pid_; }

    std::string Stdout();
    std::string Stderr();

private:
    void Drain(int outFd, int errFd);

    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    bool ended_ = false;
    std::thread drain_;
};

// Runs a program to its end and hands back what it said.
struct RunResult {
    int code = -1;
    std::string out;
    std::string err;
};
RunResult RunToEnd(const std::vector<std::string>& argv, int timeoutMs,
              const std::map<std::string, std::string>& env = {});
