#pragma once

#include <string>

// fieldprog-build --show / --extract: what a downloader carries, read without a device. Shows
// the record, the image and its CRC-16 (the production log's figure) as text or one JSON object;
// with `extractDir` also writes the image back out as a file in that folder. Returns the exit
// code (buildtool::ExitCode).
int ShowDownloader(const std::string& path, bool json, const std::string& extractDir, bool replace);
