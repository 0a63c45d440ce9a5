#pragma once

// Helpers of the POSIX serial backend that are worth testing on their own. No OS types here.

#include <string>
#include <vector>

// Serial device nodes in `devDir` in the order COM numbers are handed out: USB-serial
// adaptors (ttyUSB<n>, then ttyACM<n>), then the built-in ttyS<n>, each group by number.
std::vector<std::string> SerialDeviceCandidates(const std::string& devDir);

// Where the COM mapping looks: the device folder and the kernel's tty class folder, which tells
// a built-in port with a UART behind it from one of the unused ttyS nodes every machine has.
// The kernel's folder is FIELDPROG_SYSFS (default /sys), so a test can show it a machine.
std::string SysfsRoot();
struct DeviceFolders {
    std::string dev = "/dev";
    std::string sysTty = SysfsRoot() + "/class/tty";
};
// The device COM `comPort` means: FIELDPROG_COM<n> when set, otherwise the n-th candidate.
std::string ComPortDevicePath(int comPort, const DeviceFolders& folders);
// Whether the tty `devicePath` names (a link to it is followed) sits on a USB interface.
bool IsUsbAdaptor(const std::string& devicePath, const DeviceFolders& folders);
// The COM numbers above 4 whose device has hardware behind it, in increasing order.
std::vector<int> PresentComPortsAbove4(const DeviceFolders& folders);

// The process id in the UUCP lock file for `devicePath` (LCK..<basename> in `lockDir`) when
// that process is alive and is not this one; 0 when the port is not locked that way.
int UucpLockOwner(const std::string& lockDir, const std::string& devicePath);

// Who holds the device, for messages: "PID 1234 (minicom)", found from an flock on it, a UUCP
// lock file or the open files of running processes. Empty when nobody can be found.
std::string DeviceHolder(const std::string& devicePath);

// "PID 1234 (minicom)", or "PID 1234" when the process has no readable name.
std::string ProcessDescription(long pid);
