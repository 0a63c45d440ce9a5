#pragma once

struct CliOptions;
class Console;

// The download job: load the image once, then for each device wait for its button, clear the
// flash and transfer the image, as the downloader window does. Returns the exit code.
int RunDownloadJob(const CliOptions& options, Console& console);
