#pragma once

// fieldprog-emu as a child process on a pseudo-terminal of its own. Tests that use it define
// FIELDPROG_EMU_EXE.

#include <signal.h>

#include <string>
#include <utility>
#include <vector>

#include "Subprocess.h"

class EmuProcess {
  public:
    // Unpaced and with an instant flash unless `args` say otherwise; the first output line
    // names the port.
    explicit EmuProcess(std::vector<std::string> args, int patienceMs = 90000)
        : process_(Args(std::move(args))), patienceMs_(patienceMs) {
        const std::string out =
            process_.WaitForStdout("\n", patienceMs_) ? process_.Stdout() : std::string();
        if (out.rfind("PORT ", 0) == 0) port_ = out.substr(5, out.find('\n') - 5);
    }
    const std::string& Port() const { return port_; }
    void Press() { process_.Signal(SIGUSR1); }
    Subprocess& Process() { return process_; }
    // Stops the emulator and hands back its result lines.
    std::string Finish() {
        process_.Signal(SIGTERM);
        process_.Wait(patienceMs_);
        return process_.Stdout();
    }

  private:
    static std::vector<std::string> Args(std::vector<std::string> args) {
        args.insert(args.begin(), {FIELDPROG_EMU_EXE, "--baud", "0", "--page-ms", "0"});
        return args;
    }
    Subprocess process_;
    int patienceMs_;
    std::string port_;
};
