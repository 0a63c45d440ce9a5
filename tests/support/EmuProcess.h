#pragma once

// fieldprog-emu as a child on a pseudo-terminal of its own (users define FIELDPROG_EMU_EXE).

#include <signal.h>

#include <string>
#include <utility>
#include <vector>

#include "Subprocess.h"

const char* const kPrompt = "Press the button on the top of the Field Programmer";

class EmuProcess {
  public:
    // Unpaced with an instant flash unless `args` say otherwise; its first line names the port.
    explicit EmuProcess(std::vector<std::string> args) : process_(Args(std::move(args))) {
        const std::string out =
            process_.WaitFor("out", "\n", kPatienceMs) ? process_.Stdout() : std::string();
        if (out.rfind("PORT ", 0) == 0) port_ = out.substr(5, out.find('\n') - 5);
    }
    const std::string& Port() const { return port_; }
    void Press() { process_.Signal(SIGUSR1); }
    Subprocess& Process() { return process_; }
    // Stops the emulator and hands back its result lines.
    std::string Finish() {
        process_.Signal(SIGTERM);
        process_.Wait(kPatienceMs);
        return process_.Stdout();
    }

  private:
    static std::vector<std::string> Args(std::vector<std::string> args) {
        args.insert(args.begin(), {FIELDPROG_EMU_EXE, "--baud", "0", "--page-ms", "0"});
        return args;
    }
    Subprocess process_;
    std::string port_;
};
