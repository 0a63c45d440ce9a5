// fieldprog-cli's console and interrupt keys on POSIX systems.

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <ctime>

#include "Terminal.h"

namespace {

volatile std::sig_atomic_t gSignal = 0;

extern "C" void OnSignal(int signo) {
    gSignal = signo;
    // Whatever is stuck after this gets no second chance.
    std::signal(signo, SIG_DFL);
}

int Descriptor(terminal::Stream stream) {
    return stream == terminal::Stream::Out ? STDOUT_FILENO : STDERR_FILENO;
}

}  // namespace

namespace terminal {

void Prepare() {}

bool IsInteractive(Stream stream) {
    return ::isatty(Descriptor(stream)) == 1;
}

int Columns(Stream stream) {
    constexpr int kDefaultColumns = 80;
    winsize size{};
    if (::ioctl(Descriptor(stream), TIOCGWINSZ, &size) != 0 || size.ws_col == 0) {
        return kDefaultColumns;
    }
    return size.ws_col;
}

void Write(Stream stream, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(Descriptor(stream), text.data() + done, text.size() - done);
        if (n <= 0) return;  // nowhere left to report to
        done += static_cast<std::size_t>(n);
    }
}

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A file at its size limit or a reader that went away is a failed write, told and held back
    // like any other, never the end of every transfer.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

int InterruptReceived() {
    return gSignal;
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

}  // namespace terminal
