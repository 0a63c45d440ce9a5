#pragma once

struct CliOptions;
class Console;

// The bench subcommands (info, read-back, read, peek, poke, clear, rewrite, buffers, leds,
// power-down, interpreter, verify): check the arguments, wait for the device's button as the
// download does, run the one operation. Returns the exit code.
int RunDeviceCommand(const CliOptions& options, Console& console);
