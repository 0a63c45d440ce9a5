#include "ImageSource.h"

#include <algorithm>
#include <cstdio>

#include "ClsCRC.h"
#include "FileSystem.h"
#include "clsResFiles.h"

namespace {

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ReadImageFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
    std::string content;
    if (!FileSystem::ReadWholeFile(path, content, kMaxImageBytes)) {
        std::uint64_t size = 0;
        error = path + ": " +
                (FileSystem::FileSize(path, size) && size > kMaxImageBytes
                     ? std::string("too large for a flash image")
                     : FileSystem::LastError());
        return false;
    }
    bytes.assign(content.begin(), content.end());
    return true;
}

}  // namespace

bool LoadImageFile(const std::string& path, FlashImage& image, std::string& error) {
    FlashImage loaded;
    if (!ReadImageFile(path, loaded.bytes, error)) return false;
    loaded.name = BaseName(path);
    loaded.sourcePath = path;
    image = std::move(loaded);
    return true;
}

bool LoadPayloadImage(const std::string& path, FlashImage& image, std::string& error) {
    clsResFiles resources(path);
    const std::string shownPath = path.empty() ? "this program" : path;
    if (!path.empty()) {
        if (!FileSystem::IsRegularFile(path)) {
            error = path + ": no such file";
            return false;
        }
    }
    const bool recordRead = resources.GetReadMeData();
    FlashImage loaded;
    if (!resources.GetBinaryData(loaded.bytes)) {
        error = shownPath + " carries no binary file";
        return false;
    }
    loaded.fromPayload = true;
    loaded.sourcePath = path.empty() ? FileSystem::RunningExecutablePath() : path;
    loaded.hasLanguage = recordRead;
    loaded.language = resources.Language();
    loaded.name = resources.Name().empty() ? BaseName(loaded.sourcePath) : resources.Name();
    image = std::move(loaded);
    return true;
}

bool LoadAnyImage(const std::string& path, FlashImage& image, std::string& error) {
    if (LoadPayloadImage(path, image, error)) return true;
    return LoadImageFile(path, image, error);
}

std::string ImageCrcText(const std::vector<std::uint8_t>& bytes) {
    const ClsCRC crc;
    const auto value = static_cast<std::uint16_t>(crc.CRC16(bytes));
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}
