#include "ProductionLog.h"

#include <cstdio>

#include "FileSystem.h"
#include "ImageSource.h"
#include "Terminal.h"

namespace {

// Control characters would break the one-line-per-device layout of the record file.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
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
    if (!path.empty() && !FileSystem::AppendToFile(path, "", 0644)) {
        error = path + ": " + FileSystem::LastError();
        return false;
    }
    path_ = path;
    return true;
}

void ProductionLog::Record(const std::string& port, const FlashImage& image, const std::string& crc,
                           const char* result, std::int32_t errorNumber,
                           const std::string& errorText, Duration elapsed) {
    if (path_.empty()) return;
    const std::string line = terminal::UtcNow() + "\t" + OneLine(port) + "\t" +
                             OneLine(image.name) + "\t" + crc + "\t" + result + "\t" +
                             std::to_string(errorNumber) + "\t" + OneLine(errorText) + "\t" +
                             Seconds(elapsed) + "\n";
    if (!FileSystem::AppendToFile(path_, line, 0644)) failed_ = true;
}
