#pragma once

struct CliOptions;
class Console;

// The download job on several ports at once: a programming station. Each port gets a worker
// of its own running the download sequence with its own port, device object and stop flag;
// they share only the image (read-only), the display and the production record. A failure on
// one port, a port that is busy at the start or one that vanishes stays that port's affair.
// Returns the exit code.
int RunStation(const CliOptions& options, Console& console);
