// Which device each COM number means on a POSIX system.

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <utility>

#include "PosixPorts.h"
#include "SerialPort.h"

namespace {

constexpr int kHighestComPort = 256;  // Windows numbers ports up to COM256; so do we

// The value of a text made of decimal digits only; -1 for anything else.
long DecimalNumber(const std::string& digits) {
    if (digits.empty() || digits.size() > 9) return -1;  // 9 digits keep the conversion exact
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
    }
    return std::strtol(digits.c_str(), nullptr, 10);
}

// The number behind `prefix` when `name` is exactly prefix + digits; -1 otherwise.
long NumberAfter(const std::string& name, const std::string& prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0) return -1;
    return DecimalNumber(name.substr(prefix.size()));
}

}  // namespace

std::string SysfsRoot() {
    const char* root = std::getenv("FIELDPROG_SYSFS");
    return root != nullptr && *root != '\0' ? root : "/sys";
}

// A USB serial adaptor's tty device is the USB interface itself (cdc-acm) or a port below it
// (usb-serial drivers); an interface is the folder that has a bInterfaceNumber.
bool IsUsbAdaptor(const std::string& devicePath, const DeviceFolders& folders) {
    char resolved[PATH_MAX];
    const std::string node = realpath(devicePath.c_str(), resolved) ? resolved : devicePath;
    const std::string name = node.substr(node.find_last_of('/') + 1);
    if (name.empty() || name == "." || name == "..") return false;
    if (!realpath((folders.sysTty + "/" + name + "/device").c_str(), resolved)) return false;
    for (std::string folder = resolved; folder.size() > 1;
         folder.erase(folder.find_last_of('/') == 0 ? 1 : folder.find_last_of('/'))) {
        if (access((folder + "/bInterfaceNumber").c_str(), F_OK) == 0) return true;
    }
    return false;
}

std::vector<std::string> SerialDeviceCandidates(const std::string& devDir) {
    static const char* const kGroups[] = {"ttyUSB", "ttyACM", "ttyS"};
    std::vector<std::vector<std::pair<long, std::string>>> groups(std::size(kGroups));
    if (DIR* dir = opendir(devDir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            for (std::size_t g = 0; g < std::size(kGroups); ++g) {
                const long n = NumberAfter(name, kGroups[g]);
                if (n >= 0) groups[g].emplace_back(n, name);
            }
        }
        closedir(dir);
    }
    std::string prefix = devDir;
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    std::vector<std::string> out;
    for (auto& group : groups) {
        std::sort(group.begin(), group.end());
        for (const auto& item : group) out.push_back(prefix + item.second);
    }
    return out;
}

// FIELDPROG_COM<n> when set (the tests and the demo point COM numbers at emulators with it),
// otherwise the n-th of the USB-serial adaptors followed by the built-in ports.
std::string ComPortDevicePath(int comPort, const DeviceFolders& folders) {
    if (comPort < 1 || comPort > kHighestComPort) return {};
    const std::string var = "FIELDPROG_COM" + std::to_string(comPort);
    if (const char* over = std::getenv(var.c_str()); over != nullptr && *over != '\0') return over;
    const auto candidates = SerialDeviceCandidates(folders.dev);
    const auto index = static_cast<std::size_t>(comPort - 1);
    return index < candidates.size() ? candidates[index] : std::string();
}

// Adaptors exist only while plugged in. The serial driver makes ttyS nodes for ports that
// may not be there; the kernel knows a UART type only for those that are (0 is "unknown").
// A number that FIELDPROG_COM<n> maps by hand is meant to be used, so it is present too.
std::vector<int> PresentComPortsAbove4(const DeviceFolders& folders) {
    const auto candidates = SerialDeviceCandidates(folders.dev);
    std::vector<int> present;
    for (int n = 5; n <= kHighestComPort; ++n) {
        const std::string var = "FIELDPROG_COM" + std::to_string(n);
        if (const char* over = std::getenv(var.c_str()); over != nullptr && *over != '\0') {
            present.push_back(n);
            continue;
        }
        const auto k = static_cast<std::size_t>(n - 1);
        if (k >= candidates.size()) continue;
        const std::string name = candidates[k].substr(candidates[k].find_last_of('/') + 1);
        if (NumberAfter(name, "ttyS") >= 0) {
            std::ifstream type(folders.sysTty + "/" + name + "/type");
            long uart = 0;
            if (!(type >> uart) || uart == 0) continue;
        }
        present.push_back(n);
    }
    return present;
}

std::string ComPortDevicePath(int comPort) {
    return ComPortDevicePath(comPort, DeviceFolders{});
}

std::vector<int> PresentComPortsAbove4() {
    return PresentComPortsAbove4(DeviceFolders{});
}

std::string ComPortDescription(int comPort) {
    return ComPortDevicePath(comPort);
}

bool ComPortIsUsbAdaptor(int comPort) {
    const std::string device = ComPortDevicePath(comPort);
    return !device.empty() && IsUsbAdaptor(device, DeviceFolders{});
}
