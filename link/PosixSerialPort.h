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
