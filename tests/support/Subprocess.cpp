#include "Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

extern char** environ;

Subprocess::Subprocess(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& env) {
    std::vector<std::string> texts;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (env.count(entry.substr(0, entry.find('='))) == 0) texts.push_back(entry);
    }
    for (const auto& [name, value] : env) texts.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    for (std::string& text : texts) envp.push_back(text.data());
    args.push_back(nullptr);
    envp.push_back(nullptr);
    const std::string out = dir_ / "out", err = dir_ / "err";
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    if (posix_spawn(&pid_, args[0], &files, &attributes, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
}

std::string Subprocess::Read(const std::string& file) const {
    std::string text;
    FileSystem::ReadWholeFile(dir_ / file, text);
    return text;
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
