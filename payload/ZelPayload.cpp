#include "ZelPayload.h"

#include <stdexcept>
#include <utility>

#include "FileSystem.h"
#include "PeImage.h"
#include "ZelEncode.h"
#include "clsFilingFuncs.h"

namespace {

constexpr char kEntryOpener[] = "-=+(";
constexpr char kEntryCloser[] = ")+=-";
constexpr std::size_t kDelimiterSize = 4;  // opener and closer alike
constexpr char kLineEnd[] = "\r\n";
constexpr std::size_t kLineEndSize = 2;
constexpr std::size_t kSignatureAlign = 8;  // bytes; a signature starts on such a boundary

}  // namespace

std::string ZelPayload::Marker() {
    // Each byte XORed with the key. The key is read through a volatile, so the compiler cannot
    // fold the loop into a constant that would put the plain marker into this image.
    static const unsigned char kScrambled[] = {0x88, 0x98, 0x8E, 0x8D, 0xF6, 0xF1, 0xE4,
                                               0xF7, 0xF1, 0x85, 0xF5, 0xE4, 0xFC, 0xE9,
                                               0xEA, 0xE4, 0xE1, 0x8C, 0x8E, 0x98, 0x88};
    static volatile unsigned char key = 0xA5;
    const unsigned char k = key;
    std::string marker;
    marker.reserve(sizeof kScrambled);
    for (const unsigned char c : kScrambled) {
        marker.push_back(static_cast<char>(c ^ k));
    }
    return marker;
}

ZelPayload::ZelPayload() : files_(1) {}

void ZelPayload::DoYield() const {
    if (Yield) {
        Yield();
    }
}

bool ZelPayload::Failed(Problem problem, std::string text) {
    problem_ = problem;
    problemText_ = std::move(text);
    return false;
}

bool ZelPayload::GetPayload(std::string strFullPath) {
    Failed(Problem::None, std::string());
    try {
        if (strFullPath.empty()) {
            strFullPath = payloadFile_;
        }
        std::string inner;
        {
            std::string content;
            if (!FileSystem::ReadWholeFile(strFullPath, content)) {
                return Failed(Problem::Unreadable, FileSystem::LastError());
            }
            const std::string marker = Marker();
            const auto at = content.find(marker);
            if (at == std::string::npos) {
                return Failed(Problem::NoPayload, std::string());
            }
            // The block starts behind the marker's line end and stops before the file's last
            // line end. A downloader signed after it was built ends in its signature, behind
            // the zero bytes that align it; the payload ends where they begin.
            const std::size_t start = at + marker.size() + kLineEndSize;
            std::size_t end = content.size();
            const std::size_t signature = peimage::CertificateOffset(content);
            if (signature != std::string::npos && signature > start) {
                end = signature;
                for (std::size_t pad = 0;
                     pad < kSignatureAlign - 1 && end > start && content[end - 1] == '\0'; ++pad) {
                    --end;
                }
            }
            if (start >= end) {
                return Failed(Problem::Damaged, "nothing follows the payload marker");
            }
            std::size_t length = end - start;
            length = length >= kLineEndSize ? length - kLineEndSize : 0;
            inner = ZelEncode().DecodeBytes(
                reinterpret_cast<const std::uint8_t*>(content.data()) + start, length);
        }

        files_.assign(1, nullptr);
        std::size_t from = 0;
        for (;;) {
            const auto opener = inner.find(kEntryOpener, from);
            if (opener == std::string::npos) {
                break;
            }
            const std::size_t body = opener + kDelimiterSize;
            // An entry without a closer (or with an empty body) ends the archive.
            const auto closer = inner.find(kEntryCloser, body);
            if (closer == std::string::npos || closer <= body) {
                break;
            }
            const auto colon = inner.find(':', body);
            if (colon == std::string::npos || colon > closer) {
                return Failed(Problem::Damaged, "an entry of the archive has no name");
            }

            auto file = std::make_shared<clsPayloadFile>();
            file->FileName(inner.substr(body, colon - body));
            file->FileData(inner.substr(colon + 1, closer - colon - 1));
            // The new file takes the spare slot and a fresh spare slot follows it.
            files_.back() = std::move(file);
            files_.emplace_back();
            DoYield();
            from = closer + kDelimiterSize;
        }
        return true;
    } catch (const ZelEncodeError& e) {
        return Failed(Problem::Damaged, e.Description());
    } catch (...) {
        return Failed(Problem::Damaged, "the payload could not be decoded");
    }
}

bool ZelPayload::BuildPayload(const std::string& strExePath,
                              const std::vector<std::string>& strFilePaths,
                              const std::string& strOutputPath) {
    try {
        const clsFilingFuncs filing;
        if (!filing.FileExist(strExePath)) {
            return false;
        }
        // Everything is read before the output is touched, so a vanished or unreadable input
        // leaves the output as it was.
        std::vector<PayloadEntry> entries;
        for (const std::string& path : strFilePaths) {
            PayloadEntry entry{filing.FileName(path), std::string()};
            if (!filing.FileExist(path) || !FileSystem::ReadWholeFile(path, entry.data)) {
                return false;
            }
            entries.push_back(std::move(entry));
        }
        return BuildPayloadFrom(strExePath, entries, strOutputPath);
    } catch (...) {
        return false;
    }
}

bool ZelPayload::BuildPayloadFrom(const std::string& strExePath,
                                  const std::vector<PayloadEntry>& entries,
                                  const std::string& strOutputPath) {
    try {
        std::string image;
        if (!FileSystem::ReadWholeFile(strExePath, image)) {
            return false;
        }
        // A signed template's signature would not match the new downloader: it goes, so that
        // the output can be signed afresh.
        image = peimage::WithoutSignature(std::move(image));
        const std::string marker = Marker();
        // An executable that already carries a payload keeps its image and the first byte of
        // its old marker; the old block goes.
        const auto at = image.find(marker);
        if (at != std::string::npos) {
            image.resize(at + 1);
        }
        DoYield();

        std::string inner;
        for (const PayloadEntry& entry : entries) {
            inner += kEntryOpener;
            inner += entry.name;
            inner += ':';
            inner += entry.data;
            inner += kEntryCloser;
        }
        const std::string block = ZelEncode().EncodeString(inner);
        inner.clear();

        // A new downloader runs like the program it was made from, and stays writable by its
        // owner so that a later build can write it again.
        unsigned bits = 0644;
        if (FileSystem::PermissionBits(strExePath, bits)) {
            bits = (bits & 0777) | FileSystem::kOwnerRead | FileSystem::kOwnerWrite;
        }
        // Appending: new bytes go after whatever the output already holds. A half-written
        // downloader would look valid up to its damaged payload, so a failed append is cut off.
        image += kLineEnd + marker + kLineEnd;
        image += block;
        image += kLineEnd;
        return FileSystem::AppendToFile(strOutputPath, image, bits);
    } catch (...) {
        return false;
    }
}

std::int32_t ZelPayload::FileCount() const {
    return static_cast<std::int32_t>(files_.size()) - 1;
}

std::size_t ZelPayload::SlotIndex(std::int32_t Index) const {
    if (Index < 1 || Index > FileCount() + 1) {
        throw std::out_of_range("ZelPayload::File: index " + std::to_string(Index) +
                                " outside 1 to " + std::to_string(FileCount() + 1));
    }
    return static_cast<std::size_t>(Index - 1);
}

std::shared_ptr<clsPayloadFile> ZelPayload::File(std::int32_t Index) const {
    return files_[SlotIndex(Index)];
}

void ZelPayload::File(std::int32_t Index, std::shared_ptr<clsPayloadFile> objFile) {
    files_[SlotIndex(Index)] = std::move(objFile);
}

bool ZelPayload::GetFileByType(const std::string& strExt, std::string& strData) const {
    const clsFilingFuncs filing;
    for (std::int32_t i = 1; i <= FileCount(); ++i) {
        const auto& file = files_[static_cast<std::size_t>(i - 1)];
        if (file && filing.FileExtension(file->FileName()) == strExt) {
            strData = file->FileData();
            return true;
        }
    }
    return false;
}

bool ZelPayload::GetFileByName(std::string strName, std::string& strData) const {
    auto upper = [](std::string text) {
        for (char& c : text) {
            if (c >= 'a' && c <= 'z') {
                c = static_cast<char>(c - 'a' + 'A');
            }
        }
        return text;
    };
    strName = upper(std::move(strName));
    for (std::int32_t i = 1; i <= FileCount(); ++i) {
        const auto& file = files_[static_cast<std::size_t>(i - 1)];
        if (file && upper(file->FileName()) == strName) {
            strData = file->FileData();
            return true;
        }
    }
    return false;
}
