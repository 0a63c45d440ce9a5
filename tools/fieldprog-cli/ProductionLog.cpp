#include "ProductionLog.h"

#include <cstdio>

#include "Console.h"
#include "FileSystem.h"
#include "ImageSource.h"
#include "Terminal.h"

namespace {

// A writer that holds the file locks it for one short write; this long means it is stuck.
constexpr int kLockWaitMs = 5000;

// A field from outside (a device's reply, a file or port name) as a cell that every reader takes
// as plain text: control characters would break the one-line-per-device layout, and a leading
// = + - @ would start a spreadsheet formula, a leading " a quoted cell that runs on into the next
// record. Such a field gets a leading ', as spreadsheets themselves mark text.
std::string Cell(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
    }
    if (!text.empty() && std::string("=+-@\"").find(text.front()) != std::string::npos) {
        text.insert(0, 1, '\'');
    }
    return text;
}

}  // namespace

std::string Seconds(ProductionLog::Duration elapsed) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::chrono::duration<double>(elapsed).count());
    return text;
}

bool ProductionLog::Open(const std::string& path, std::string& error) {
    if (!path.empty() && !FileSystem::AppendToFile(path, "", 0644, false)) {
        error = path + ": " + FileSystem::LastError();
        return false;
    }
    path_ = path;
    return true;
}

std::string ProductionLog::Record(const std::string& port, const FlashImage& image,
                                  const std::string& crc, const char* result,
                                  std::int32_t errorNumber, const std::string& errorText,
                                  Duration elapsed, const std::string& firmware) {
    if (path_.empty()) return std::string();
    // Stamped under the lock, so that the lines of the file stay in the order of their times.
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::string line = terminal::UtcNow() + "\t" + Cell(port) + "\t" + Cell(image.name) +
                             "\t" + crc + "\t" + result + "\t" + std::to_string(errorNumber) +
                             "\t" + Cell(errorText) + "\t" + Seconds(elapsed) + "\t" +
                             Cell(firmware) + "\n";
    pending_.push_back(line);
    return WritePending();
}

std::string ProductionLog::WritePending() {
    const std::size_t held = pending_.size() - 1;  // before the newest line
    while (!pending_.empty()) {
        // Locked against other stations; a line cut short stays a fragment on a line of its own.
        if (!FileSystem::AppendLine(path_, pending_.front(), 0644, kLockWaitMs)) {
            return "production log " + path_ + ": cannot write (" + FileSystem::LastError() +
                   "); " + std::to_string(pending_.size()) +
                   " record(s) held back, written as soon as the file accepts them";
        }
        pending_.pop_front();
    }
    if (held == 0) return std::string();
    return "production log " + path_ + ": " + std::to_string(held) + " held-back record(s) written";
}

std::vector<std::string> ProductionLog::Finish() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty()) WritePending();
    std::vector<std::string> unwritten;
    for (std::string& line : pending_) {
        line.pop_back();  // its line end
        unwritten.push_back(std::move(line));
    }
    pending_.clear();
    if (!unwritten.empty()) missing_ = true;
    return unwritten;
}

bool ProductionLog::Missing() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return missing_;
}

void ReportUnwrittenRecords(ProductionLog& log, const std::string& path, Console& console) {
    const std::vector<std::string> unwritten = log.Finish();
    if (unwritten.empty()) return;
    console.Error(path + ": " + std::to_string(unwritten.size()) +
                  " production record(s) could not be written; here they are:");
    for (const std::string& line : unwritten) console.Status(line);
}
