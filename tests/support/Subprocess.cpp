#include "Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

Subprocess::Subprocess(std::vector<std::string> argv,
                       const std::map<std::string, std::string>& env) {
    // Everything the child needs is prepared before fork: the child only calls exec.
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (env.count(entry.substr(0, entry.find('='))) == 0) envText.push_back(entry);
    }
    for (const auto& [name, value] : env) envText.push_back(name + "=" + value);
    std::vector<char*> envp, args;
    for (auto& text : envText) envp.push_back(text.data());
    for (auto& arg : argv) args.push_back(arg.data());
    envp.push_back(nullptr);
    args.push_back(nullptr);
    std::string pattern = (std::filesystem::temp_directory_path() / "fp-proc-XXXXXX").string();
    dir_ = mkdtemp(pattern.data()) != nullptr ? pattern : "/nonexistent";
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const int err = open((dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        setpgid(0, 0);  // its own process group: a signal meant for it reaches only it
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    for (const int fd : {in, out, err}) close(fd);
}

Subprocess::~Subprocess() {
    Wait(0);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string Subprocess::Read(const std::string& file) const {
    std::ifstream in(dir_ + file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Subprocess::Ended() {
    if (!ended_) ended_ = pid_ <= 0 || waitpid(pid_, &status_, WNOHANG) == pid_;
    return ended_;
}

bool Subprocess::WaitFor(const std::string& file, const std::string& text, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto found = [&] { return !file.empty() && Read(file).find(text) != std::string::npos; };
    while (!found()) {
        if (Ended()) return found() || file.empty();
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int Subprocess::Wait(int timeoutMs) {
    if (pid_ < 0) return -1;  // it never started
    if (!WaitFor("", "", timeoutMs)) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        ended_ = true;
        return -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

void Subprocess::Signal(int signo) {
    if (!Ended()) kill(pid_, signo);
}

RunResult RunToEnd(const std::vector<std::string>& argv, int timeoutMs,
                   const std::map<std::string, std::string>& env) {
    Subprocess process(argv, env);
    const int code = process.Wait(timeoutMs);
    return {code, process.Stdout(), process.Stderr()};
}
