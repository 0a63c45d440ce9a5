// Who holds a serial device: lock files, flocks and open descriptors of other processes.

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "PosixPorts.h"

namespace {

constexpr const char* kLockDir = "/var/lock";  // where UUCP-style lock files live

long DecimalNumber(const char* text) {
    if (*text == '\0') return -1;
    long value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || value > 100000000) return -1;
        value = value * 10 + (*c - '0');
    }
    return value;
}

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ProcessAlive(long pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The process holding an flock on the device node, from the kernel's lock table. It names the
// program that took the port even when others (an emulator, a getty) merely have it open.
long FlockHolder(const std::string& path) {
    struct stat target {};
    if (::stat(path.c_str(), &target) != 0) return 0;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:18:5 0 EOF"
        std::istringstream fields(line);
        std::string index, kind, mode, access, id;
        long pid = 0;
        if (!(fields >> index >> kind >> mode >> access >> pid >> id)) continue;
        if (kind != "FLOCK" || pid <= 0 || pid == static_cast<long>(::getpid())) continue;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(id.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) continue;
        if (inode == target.st_ino && makedev(major, minor) == target.st_dev) return pid;
    }
    return 0;
}

// A process other than this one with `devicePath` open, found through /proc; 0 when none.
long ProcessWithDeviceOpen(const std::string& devicePath) {
    struct stat target {};
    if (::stat(devicePath.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) return 0;
    const long self = static_cast<long>(::getpid());
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return 0;
    long found = 0;
    while (found == 0) {
        const dirent* entry = readdir(proc);
        if (entry == nullptr) break;
        const long pid = DecimalNumber(entry->d_name);
        if (pid <= 0 || pid == self) continue;
        const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) continue;
        while (const dirent* fdEntry = readdir(fds)) {
            if (fdEntry->d_name[0] == '.') continue;
            struct stat st {};
            if (::stat((fdDir + "/" + fdEntry->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == target.st_rdev) {
                found = pid;
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return found;
}

}  // namespace

std::string ProcessDescription(long pid) {
    std::string name;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    if (comm) std::getline(comm, name);
    return name.empty() ? "PID " + std::to_string(pid)
                        : "PID " + std::to_string(pid) + " (" + name + ")";
}

int UucpLockOwner(const std::string& lockDir, const std::string& devicePath) {
    std::ifstream in(lockDir + "/LCK.." + BaseName(devicePath), std::ios::binary);
    if (!in) return 0;
    char buf[64] = {};
    in.read(buf, sizeof buf);
    const auto size = static_cast<std::size_t>(in.gcount());
    long pid = 0;
    if (size == 4 && buf[3] != '\n') {
        // Old-style lock files hold the pid as a native 4-byte integer, whatever its bytes look
        // like. A text lock is ten characters and a newline; a 4-byte one ending in a newline
        // (a short pid) is text too, since no pid is large enough to have that high byte.
        std::int32_t binary = 0;
        std::memcpy(&binary, buf, sizeof binary);
        pid = binary;
    } else {
        std::size_t k = 0;
        while (k < size && (buf[k] == ' ' || buf[k] == '\t')) ++k;
        while (k < size && buf[k] >= '0' && buf[k] <= '9' && pid < 10000000) {
            pid = pid * 10 + (buf[k] - '0');
            ++k;
        }
    }
    if (pid <= 0 || pid == static_cast<long>(getpid())) return 0;
    return ProcessAlive(pid) ? static_cast<int>(pid) : 0;
}

std::string DeviceHolder(const std::string& devicePath) {
    long pid = FlockHolder(devicePath);
    if (pid == 0) pid = UucpLockOwner(kLockDir, devicePath);
    if (pid == 0) pid = ProcessWithDeviceOpen(devicePath);
    return pid != 0 ? ProcessDescription(pid) : std::string();
}
