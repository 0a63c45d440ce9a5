#pragma once

#include "DownloadSequence.h"

struct CliOptions;
struct FlashImage;
class Console;

// The image of a download run: --image, --payload, or this program's own payload, checked
// against the .BIN layout. False, with the reason reported, when there is none to program.
bool ResolveDownloadImage(const CliOptions& options, Console& console, FlashImage& image);

// The download sequence as the console runs it: the button wait limited by --wait, no
// animations; a station (or --endless) awaits the next device after a failure.
SequenceSettings HeadlessSettings(const CliOptions& options, bool carryOnAfterFailure);

// The download job on one port: load the image once, then for each device wait for its
// button, clear the flash and transfer the image, as the downloader window does. Returns the
// exit code.
int RunDownloadJob(const CliOptions& options, Console& console);
