#pragma once

struct CliOptions;
class Console;

// `ports`: what the window's port dialog would offer, one line per port (or one JSON object),
// and which port it would preselect and why. Opens each port for a moment, as the window does,
// and waits for no device. Returns the exit code.
int RunPortsCommand(const CliOptions& options, Console& console);
