#include "ImageSource.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "ClsCRC.h"
#include "FileSystem.h"
#include "clsResFiles.h"

namespace {

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& bytes,
                   std::string& error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = path + ": not a regular file";
        return false;
    }
    if (static_cast<std::uint64_t>(info.st_size) > kMaxImageBytes) {
        error = path + ": too large for a flash image";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad() || bytes.size() > kMaxImageBytes) {
        error = path + ": cannot be read";
        return false;
    }
    return true;
}

}  // namespace

bool LoadImageFile(const std::string& path, FlashImage& image, std::string& error) {
    FlashImage loaded;
    if (!ReadWholeFile(path, loaded.bytes, error)) return false;
    loaded.name = BaseName(path);
    loaded.sourcePath = path;
    image = std::move(loaded);
    return true;
}

bool LoadPayloadImage(const std::string& path, FlashImage& image, std::string& error) {
    clsResFiles resources(path);
    const std::string shownPath = path.empty() ? "this program" : path;
    if (!path.empty()) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
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

std::size_t HeaderDataCount(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < kHeaderBytes) return 0;
    return static_cast<std::size_t>(bytes[6]) << 8 | bytes[7];
}

std::string ImageProblem(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < kHeaderBytes) {
        return "too short for a flash image (" + std::to_string(bytes.size()) +
               " bytes, the header alone takes 8)";
    }
    const std::size_t count = HeaderDataCount(bytes);
    const std::size_t present = bytes.size() - kHeaderBytes;
    if (count == 0) return "the header counts no data bytes";
    if (count > present) {
        return "the header counts " + std::to_string(count) + " data bytes but only " +
               std::to_string(present) + " follow it (truncated file?)";
    }
    return {};
}

std::string ImageWarning(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < kHeaderBytes) return {};
    if (std::any_of(bytes.begin(), bytes.begin() + 6, [](std::uint8_t b) { return b != 0; })) {
        return "the first six header bytes are not zero";
    }
    // Images read straight from a .BIN file carry one spare byte; more than that is unusual.
    const std::size_t extra = bytes.size() - kHeaderBytes - HeaderDataCount(bytes);
    if (extra > 1) {
        return std::to_string(extra) + " bytes follow the counted data; the device ignores them";
    }
    return {};
}

std::string ImageCrcText(const std::vector<std::uint8_t>& bytes) {
    const ClsCRC crc;
    const auto value = static_cast<std::uint16_t>(crc.CRC16(bytes));
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

std::vector<std::uint8_t> FlashData(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() <= kHeaderBytes) return {};
    const std::size_t count = std::min(HeaderDataCount(bytes), bytes.size() - kHeaderBytes);
    std::vector<std::uint8_t> data(bytes.begin() + kHeaderBytes,
                                   bytes.begin() + static_cast<std::ptrdiff_t>(kHeaderBytes + count));
    while (!data.empty() && data.back() == 0xFF) data.pop_back();
    return data;
}
