#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "TestFiles.h"

constexpr int kPatienceMs = 90000;  // an upper bound for any one process: the machine is shared

// A child whose output goes to files: it never blocks on a full pipe, and a test can wait for text.
class Subprocess {
  public:
    // Starts argv[0] with the test's environment plus `env`, in a process group of its own.
    explicit Subprocess(const std::vector<std::string>& argv,
                        const std::map<std::string, std::string>& env = {});
    ~Subprocess() { Wait(0); }  // kills and reaps a child that is still running
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    std::string Stdout() const { return Read("out"); }
    std::string Stderr() const { return Read("err"); }
    // Whether `text` shows in `file` ("out", "err") before the end or `timeoutMs`; "": the end.
    bool WaitFor(const std::string& file, const std::string& text, int timeoutMs);
    bool WaitForStderr(const std::string& text, int timeoutMs) {
        return WaitFor("err", text, timeoutMs);
    }
    // The exit code (128 + n after signal n); -1 when not started or not ended in time (killed).
    int Wait(int timeoutMs);
    void Signal(int signo);
    pid_t Pid() const { return pid_; }

  private:
    std::string Read(const std::string& file) const;
    bool Ended();

    TempDir dir_;  // holds the files "out" and "err"
    pid_t pid_ = -1;
    int status_ = 0;
    bool ended_ = false;
};

// Runs a program to its end and hands back what it said.
struct RunResult {
    int code = -1;
    std::string out;
    std::string err;
};
RunResult RunToEnd(const std::vector<std::string>& argv, int timeoutMs,
                   const std::map<std::string, std::string>& env = {});
