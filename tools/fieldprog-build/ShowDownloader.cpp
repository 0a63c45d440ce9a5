#include "ShowDownloader.h"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <vector>

#include "BinFile.h"
#include "BuildTool.h"
#include "FileSystem.h"
#include "ImageSource.h"
#include "ZelPayload.h"
#include "clsResFiles.h"

namespace {

using namespace buildtool;

// What a downloader carries, as far as it could be read.
struct Contents {
    enum class Record { Valid, Missing, Malformed } record = Record::Missing;
    std::string name;
    int language = 0;  // 0 English, 1 French, 2 German
    std::string description;
    std::string recordText;  // a malformed record as the downloader reads it

    bool hasImage = false;
    std::string imageName;
    std::vector<std::uint8_t> image;
    std::string crc;           // as the production log writes it
    std::string imageProblem;  // why the image must not be programmed; empty when it may
};

std::string Hex2(unsigned code) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", code & 0xFFu);
    return text;
}

// Names and texts in a payload come from outside: every byte outside printable ASCII is shown
// as \xNN, so that a crafted name cannot drive the terminal.
std::string Shown(const std::string& bytes) {
    std::string text;
    for (const char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        text += code >= 32 && code < 127 && c != '\\' ? std::string(1, c) : "\\x" + Hex2(code);
    }
    return text;
}

// Bytes are not text in any known encoding: each byte outside printable ASCII gets its own
// code point.
std::string JsonString(const std::string& bytes) {
    std::string text = "\"";
    for (const char c : bytes) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') text += '\\';
        text += code >= 32 && code < 127 ? std::string(1, c) : "\\u00" + Hex2(code);
    }
    return text + "\"";
}

std::string UpperAscii(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

// Why `name`, read from a payload, must not become a file in the extraction folder; empty when
// it may. Both systems' rules apply wherever this runs, so a downloader extracts alike on each.
std::string UnsafeNameReason(const std::string& name) {
    if (name.empty()) return "it is empty";
    if (name == "." || name == "..") return "it names a folder";
    for (const char c : name) {
        const auto code = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\') return "it holds a folder separator";
        if (code < 32 || code > 126) return "it holds a character outside printable ASCII";
        if (std::string("<>:\"|?*").find(c) != std::string::npos) {
            return "it holds a character that Windows refuses in a file name";
        }
    }
    if (name.back() == '.' || name.back() == ' ') {
        return "Windows would drop its trailing dot or blank and write another name";
    }
    std::string stem = UpperAscii(name.substr(0, name.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    const bool numbered = stem.size() == 4 &&
                          (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
                          stem[3] >= '1' && stem[3] <= '9';
    if (numbered || stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL" ||
        stem == "CONIN$" || stem == "CONOUT$") {
        return "Windows reads it as a device, not a file";
    }
    return std::string();
}

Contents Read(clsResFiles& resources, bool recordRead) {
    Contents c;
    std::string record;
    if (resources.Payload().GetFileByName("README.TXT", record)) {
        c.record = recordRead ? Contents::Record::Valid : Contents::Record::Malformed;
        c.recordText = clsResFiles::KeepPrintable(record);
        c.name = resources.Name();
        c.language = resources.Language() / 100;
        c.description = resources.Description();
    }
    c.imageName = resources.BinaryFileName();
    c.hasImage = !c.imageName.empty();
    if (!c.hasImage) return c;
    // The bytes the downloader and fieldprog-cli --payload program, and so the CRC-16 that
    // fieldprog-cli records for every device programmed from this downloader.
    if (!resources.GetBinaryData(c.image)) {
        std::string data;  // fewer than two bytes: the downloader would ask for a file instead
        resources.Payload().GetFileByName(c.imageName, data);
        c.image.assign(data.begin(), data.end());
    }
    c.crc = ImageCrcText(c.image);
    c.imageProblem = binfile::Problem(c.image);
    return c;
}

void PrintText(const std::string& path, const Contents& c) {
    std::cout << path << '\n';
    if (c.record == Contents::Record::Valid) {
        std::cout << "  name:        " << Shown(c.name) << '\n'
                  << "  language:    " << c.language << " (" << kLanguageNames[c.language] << ")\n"
                  << "  description: " << Shown(c.description) << '\n';
    } else if (c.record == Contents::Record::Missing) {
        std::cout << "  record:      none (the downloader shows English)\n";
    } else {
        std::cout << "  record:      not valid, \"" << Shown(c.recordText)
                  << "\" (the downloader shows English)\n";
    }
    if (!c.hasImage) {
        std::cout << "  image:       none (the downloader asks for a .BIN file when it starts)\n";
    } else {
        std::cout << "  image:       " << Shown(c.imageName) << '\n'
                  << "  file bytes:  " << c.image.size() << '\n'
                  << "  data bytes:  " << binfile::DataCount(c.image) << '\n'
                  << "  CRC-16:      " << c.crc << " (as in fieldprog-cli's production log)\n";
    }
    std::cout << "  payload:     intact"
              << (c.imageProblem.empty() ? "" : ", but the image in it is damaged") << '\n';
}

void PrintJson(const Contents& c, const std::string& extracted) {
    const bool valid = c.record == Contents::Record::Valid;
    const char* const record[] = {"valid", "missing", "not valid"};
    std::string json = "{\"payload\":\"intact\",\"record\":\"" +
                       std::string(record[static_cast<int>(c.record)]) + "\"";
    json += ",\"name\":" + (valid ? JsonString(c.name) : "null");
    json += ",\"language\":" + (valid ? std::to_string(c.language) : "null");
    json += ",\"language_name\":" +
            (valid ? JsonString(kLanguageNames[c.language]) : std::string("null"));
    json += ",\"description\":" + (valid ? JsonString(c.description) : "null");
    if (c.hasImage) {
        json += ",\"image\":{\"file_name\":" + JsonString(c.imageName) +
                ",\"file_bytes\":" + std::to_string(c.image.size()) +
                ",\"data_bytes\":" + std::to_string(binfile::DataCount(c.image)) + ",\"crc16\":\"" +
                c.crc +
                "\",\"problem\":" + (c.imageProblem.empty() ? "null" : JsonString(c.imageProblem)) +
                "}";
    } else {
        json += ",\"image\":null";
    }
    json += ",\"extracted\":" + (extracted.empty() ? "null" : JsonString(extracted)) + "}";
    std::cout << json << '\n';
}

// A downloader that cannot be shown: the reason on standard error and, for a script reading
// the JSON, as an object of its own.
int Refuse(bool json, int code, const char* payload, const std::string& text) {
    if (json) {
        std::cout << "{\"payload\":\"" << payload << "\",\"problem\":" << JsonString(text) << "}\n";
    }
    return Fail(code, text);
}

// Writes the image into `dir` under its name in the payload, checked and moved into place as
// the builder places a downloader.
int Extract(const Contents& c, const std::string& dir, bool replace, std::string& written) {
    if (!c.hasImage) return Fail(kInputProblem, "the downloader carries no binary file to extract");
    if (!FileSystem::IsDirectory(dir))
        return Fail(kUsage, dir + " is not a folder to extract into");
    if (const std::string why = UnsafeNameReason(c.imageName); !why.empty()) {
        return Fail(kInputProblem, "the image's name in the payload, \"" + Shown(c.imageName) +
                                       "\", is not a safe file name (" + why +
                                       "); nothing was written");
    }
    const char last = dir.back();
    const bool separated = last == '/' || last == FileSystem::Separator();
    const std::string target =
        dir + (separated ? "" : std::string(1, FileSystem::Separator())) + c.imageName;
    if (!replace && Exists(target)) {
        return Fail(kOutputExists, target + " exists; use --replace to overwrite it");
    }
    PartialFile partial;
    partial.path = FileSystem::NewPrivateFile(dir, "." + c.imageName + ".partial-");
    if (partial.path.empty()) {
        return Fail(kBuildFailed,
                    "cannot create a file in " + dir + ": " + FileSystem::LastError());
    }
    const std::string data(c.image.begin(), c.image.end());
    std::string back;
    if (!FileSystem::WriteWholeFile(partial.path, data) ||
        !FileSystem::SetPermissionBits(partial.path, 0644) ||
        !FileSystem::ReadWholeFile(partial.path, back) || back != data) {
        return Fail(kBuildFailed, "writing " + target + " failed: " + FileSystem::LastError());
    }
    if (const int code = Publish(partial.path, target, replace); code != kOk) return code;
    partial.path.clear();
    written = target;
    return kOk;
}

}  // namespace

int ShowDownloader(const std::string& path, bool json, const std::string& extractDir,
                   bool replace) {
    if (!FileSystem::IsRegularFile(path)) {
        return Fail(kInputProblem, path + (Exists(path) ? " is not a file" : ": no such file"));
    }
    // Read whole below, so a file far larger than any downloader is turned away unread.
    constexpr std::uint64_t kMaxDownloaderBytes = 256u * 1024u * 1024u;
    std::uint64_t size = 0;
    if (FileSystem::FileSize(path, size) && size > kMaxDownloaderBytes) {
        return Refuse(json, kNotDownloader, "absent",
                      path + " is not a downloader: it is " + std::to_string(size >> 20) +
                          " MiB, far larger than any downloader");
    }
    clsResFiles resources(path);
    const bool recordRead = resources.GetReadMeData();
    const ZelPayload& payload = resources.Payload();
    switch (payload.LastProblem()) {
        case ZelPayload::Problem::Unreadable:
            return Fail(kInputProblem, "cannot read " + path + ": " + payload.LastProblemText());
        case ZelPayload::Problem::NoPayload:
            return Refuse(json, kNotDownloader, "absent",
                          path + " is not a downloader: it carries no payload");
        case ZelPayload::Problem::Damaged:
            return Refuse(json, kDamaged, "damaged",
                          path + " is a damaged downloader (truncated or corrupted on its way?): " +
                              payload.LastProblemText());
        case ZelPayload::Problem::None:
            break;
    }
    const Contents contents = Read(resources, recordRead);
    if (!json) PrintText(path, contents);

    int code = kOk;
    std::string written;
    if (!contents.imageProblem.empty()) {
        code = Fail(kDamaged, "the image " + Shown(contents.imageName) + " in " + path +
                                  " is damaged: " + contents.imageProblem);
    } else if (!extractDir.empty()) {
        code = Extract(contents, extractDir, replace, written);
    }
    if (json) PrintJson(contents, written);
    if (!json && !written.empty()) std::cout << "Extracted " << written << '\n';
    return code;
}
