#pragma once

#include <cstdint>
#include <memory>
#include <string>

// The one seam between the serial link and the operating system's serial port.
// Bytes travel as std::string, one char per byte, never re-encoded.
// No OS type appears here: the backend is chosen by the build (PosixSerialPort.cpp).
class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Opens COM port `comPort` (1 to 4, mapped to a device path) with the fixed settings:
    // 9600 baud 8N1, raw, no flow control, DTR raised, RTS not raised, exclusive access.
    // False when the port does not exist, is held by someone else or cannot be set up.
    virtual bool Open(int comPort) = 0;
    // Closes the port and restores the settings it had before. False on a port error.
    virtual bool Close() = 0;
    virtual bool IsOpen() const = 0;

    // Takes all bytes waiting right now without blocking; empty when none are waiting,
    // the port is closed, or the device has vanished (then Failed() turns true).
    virtual std::string ReadAll() = 0;
    // Queues the bytes for sending. False when the port is closed or the device vanished.
    virtual bool Write(const std::string& bytes) = 0;
    // Holds the line in the break state (on) or releases it (off).
    virtual bool SetBreak(bool on) = 0;
    // Receive-notification threshold (1 normally, 0 during the block phase of a transfer).
    virtual bool SetRThreshold(int bytes) = 0;
    // Waits at most `ms` milliseconds and returns as soon as received bytes are waiting.
    // True when bytes are waiting. Returns at once when the port is closed or has failed.
    virtual bool WaitReadable(int ms) = 0;
    // True after the device vanished (adaptor pulled, pseudo-terminal closed) while open.
    virtual bool Failed() const = 0;
};

// The platform's serial port.
std::unique_ptr<SerialPort> MakeSystemSerialPort();

// The device path a COM number means on this machine: FIELDPROG_COM<n> when set, otherwise the
// n-th of the USB-serial adaptors (/dev/ttyUSB*, /dev/ttyACM*) followed by the built-in
// /dev/ttyS* ports. Empty for numbers outside 1 to 4 or when nothing maps.
std::string ComPortDevicePath(int comPort);

// Who holds COM port `comPort` when it is busy, for messages: "PID 1234 (minicom)", found from a
// UUCP lock file or the open files of running processes. Empty when nobody can be found.
std::string ComPortHolder(int comPort);
