#pragma once

// Helpers of the POSIX serial backend that are worth testing on their own. No OS types here.

#include <string>
#include <vector>

// Serial device nodes in `devDir` in the order COM numbers are handed out: USB-serial
// adaptors (ttyUSB<n>, then ttyACM<n>), then the built-in ttyS<n>, each group by number.
std::vector<std::string> SerialDeviceCandidates(const std::string& devDir);

// The process id in the UUCP lock file for `devicePath` (LCK..<basename> in `lockDir`) when
// that process is alive and is not this one; 0 when the port is not locked that way.
int UucpLockOwner(const std::string& lockDir, const std::string& devicePath);

// Who holds the device, for messages: "PID 1234 (minicom)", found from an flock on it, a UUCP
// lock file or the open files of running processes. Empty when nobody can be found.
std::string DeviceHolder(const std::string& devicePath);

// "PID 1234 (minicom)", or "PID 1234" when the process has no readable name.
std::string ProcessDescription(long pid);
