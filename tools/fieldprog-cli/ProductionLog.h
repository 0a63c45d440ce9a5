#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

struct FlashImage;

// The production record: one tab-separated line per device (UTC time, port, image name, the
// image's CRC-16, result, error number, error text, seconds), appended with a single write so
// that the ports of a station, and stations sharing a file, never interleave their lines.
class ProductionLog {
  public:
    using Duration = std::chrono::steady_clock::duration;

    // No path: records go nowhere. False, with the reason, when the file cannot be appended to.
    bool Open(const std::string& path, std::string& error);
    void Record(const std::string& port, const FlashImage& image, const std::string& crc,
                const char* result, std::int32_t errorNumber, const std::string& errorText,
                Duration elapsed);
    // A record could not be written.
    bool Failed() const { return failed_; }

  private:
    std::string path_;
    std::atomic<bool> failed_{false};
};

// Seconds with one decimal: "5.8".
std::string Seconds(ProductionLog::Duration elapsed);
