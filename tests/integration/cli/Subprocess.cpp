#include "Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace {

constexpr int kReapPollMs = 10;  // between checks for the child's end

}  // namespace

Subprocess::Subprocess(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& env) {
    // Everything the child needs is prepared before fork: the child only calls exec.
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::size_t eq = entry.find('=');
        if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [name, value] : env) {
        if (value.empty()) {
            merged.erase(name);
        } else {
            merged[name] = value;
        }
    }
    std::vector<std::string> envText;
    for (const auto& [name, value] : merged) envText.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& text : envText) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);

    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int devNull = open("/dev/null", O_RDONLY);
        if (devNull >= 0) dup2(devNull, STDIN_FILENO);
        // Each child gets its own process group, so a signal meant for it reaches only it.
        setpgid(0, 0);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    drain_ = std::thread([this, o = out[0], e = err[0]] { Drain(o, e); });
}

Subprocess::~Subprocess() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        reaped_ = true;
    }
    if (drain_.joinable()) drain_.join();
}

void Subprocess::Drain(int outFd, int errFd) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) continue;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || fds[k].revents == 0) continue;
            const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                (k == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open;
            }
        }
        changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

bool Subprocess::WaitFor(const std::function<bool(const std::string&, const std::string&)>& found,
                         int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return found(out_, err_) || ended_; }) &&
           found(out_, err_);
}

bool Subprocess::WaitForStdout(const std::string& text, int timeoutMs) {
    return WaitFor([&](const std::string& o, const std::string&) {
        return o.find(text) != std::string::npos;
    }, timeoutMs);
}

bool Subprocess::WaitForStderr(const std::string& text, int timeoutMs) {
    return WaitFor([&](const std::string&, const std::string& e) {
        return e.find(text) != std::string::npos;
    }, timeoutMs);
}

int Subprocess::Wait(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reaped_) {
        const pid_t r = waitpid(pid_, &status_, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
            reaped_ = true;
            if (drain_.joinable()) drain_.join();
            return -1;
        }
        usleep(kReapPollMs * 1000);
    }
    // All output is in once the pipes are closed.
    if (drain_.joinable()) drain_.join();
    if (WIFEXITED(status_)) return WEXITSTATUS(status_);
    if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
    return -1;
}

void Subprocess::Signal(int signo) {
    if (!reaped_ && pid_ > 0) kill(pid_, signo);
}

std::string Subprocess::Stdout() {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::string Subprocess::Stderr() {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

RunResult RunToEnd(const std::vector<std::string>& argv, int timeoutMs,
              const std::map<std::string, std::string>& env) {
    Subprocess process(argv, env);
    RunResult result;
    result.code = process.Wait(timeoutMs);
    result.out = process.Stdout();
    result.err = process.Stderr();
    return result;
}
