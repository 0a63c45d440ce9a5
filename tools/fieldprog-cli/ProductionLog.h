#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct FlashImage;

// The production record: one tab-separated line per device (UTC time, port, image name, the
// image's CRC-16, result, error number, error text, seconds, the Field Programmer's firmware
// version as it answered ".V"), appended under a lock on the file so that the ports of a station,
// and stations sharing a file, never interleave their lines. Fields from outside that a
// spreadsheet would read as a formula or a quoted cell get a leading '.
//
// A record is never lost: a line the file refuses (a spreadsheet holding it open, a full disk, a
// lock another writer holds for more than a few seconds) is
// kept and written, in order, as soon as the file takes it again, and the file is never cut back,
// since another writer may have appended meanwhile. Shared by the ports of a station.
class ProductionLog {
  public:
    using Duration = std::chrono::steady_clock::duration;

    // No path: records go nowhere. False, with the reason, when the file cannot be appended to.
    bool Open(const std::string& path, std::string& error);
    // Writes the line, and any held back before it. What the operator must hear at once (lines
    // held back, or written at last) comes back as one sentence; empty when all is well.
    std::string Record(const std::string& port, const FlashImage& image, const std::string& crc,
                       const char* result, std::int32_t errorNumber, const std::string& errorText,
                       Duration elapsed, const std::string& firmware = std::string());
    // A last try for the lines held back; those the file still refuses come back, in the log's
    // own format, for standard error.
    std::vector<std::string> Finish();
    // Some record never reached the file.
    bool Missing() const;

  private:
    std::string WritePending();  // with the mutex held

    mutable std::mutex mutex_;
    std::string path_;
    std::deque<std::string> pending_;
    bool missing_ = false;
};

class Console;
// The records the file never took, on standard error in the log's own format, so that the
// operator can add them by hand.
void ReportUnwrittenRecords(ProductionLog& log, const std::string& path, Console& console);

// Seconds with one decimal: "5.8".
std::string Seconds(ProductionLog::Duration elapsed);
