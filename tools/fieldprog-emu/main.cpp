// fieldprog-emu: a Field Programmer on a pseudo-terminal, for tests, the demo and benchmarks.

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "EmuOptions.h"
#include "EmuServer.h"

namespace {

EmuServer* gServer = nullptr;
int gUnplugMs = 0;

void OnSignal(int signal) {
    if (gServer == nullptr) return;
    if (signal == SIGUSR1)
        gServer->RequestPress();
    else if (signal == SIGUSR2)
        gServer->RequestUnplug(gUnplugMs);
    else
        gServer->RequestStop();
}

void Install(int signal) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    EmuOptions options;
    std::string error;
    if (!ParseEmuOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::cerr << "fieldprog-emu: " << error << "\n(see --help)\n";
        return 2;
    }
    if (options.help) {
        std::cout << EmuUsage();
        return 0;
    }

    EmuServer server(options);
    server.ResultLine = [](const std::string& line) { std::cout << line << '\n' << std::flush; };
    server.LogLine = [](const std::string& line) {
        std::cerr << "fieldprog-emu: " << line << '\n';
    };

    // Signals only set flags and wake the device thread, so install them before it starts.
    gServer = &server;
    gUnplugMs = options.unplugMs;
    Install(SIGTERM);
    Install(SIGINT);
    Install(SIGHUP);
    Install(SIGUSR1);
    Install(SIGUSR2);
    std::signal(SIGPIPE, SIG_IGN);

    if (!server.Start(error)) {
        std::cerr << "fieldprog-emu: " << error << '\n';
        return 1;
    }
    std::cout << "PORT " << server.SlavePath() << '\n' << std::flush;
    server.WaitStopped(-1);
    gServer = nullptr;
    return server.Succeeded() ? 0 : 1;
}
