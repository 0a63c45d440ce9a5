#include "clsResFiles.h"

#include <cctype>
#include <cstddef>
#include <limits>
#include <optional>
#include <utility>

#include "FileSystem.h"
#include "ZelPayload.h"

namespace {

std::string UpperAscii(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Every comma starts a new field; an empty text has no fields at all.
std::vector<std::string> SplitAtCommas(const std::string& text) {
    std::vector<std::string> fields;
    if (text.empty()) return fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        fields.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return fields;
}

// Decimal digits with an optional sign, blanks allowed around them; the value has to fit
// in 16 bits. Anything else is not a language number.
std::optional<std::int16_t> ParseInt16(const std::string& field) {
    std::size_t b = field.find_first_not_of(' ');
    const std::size_t e = field.find_last_not_of(' ');
    if (b == std::string::npos) return std::nullopt;
    bool negative = false;
    if (field[b] == '+' || field[b] == '-') {
        negative = field[b] == '-';
        ++b;
    }
    if (b > e) return std::nullopt;
    std::int32_t value = 0;
    for (std::size_t k = b; k <= e; ++k) {
        const char c = field[k];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > std::numeric_limits<std::int16_t>::max() + 1) return std::nullopt;
    }
    if (negative) value = -value;
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int16_t>(value);
}

constexpr std::int16_t kLanguageStep = 100;  // text ids per language block
constexpr std::int16_t kLastLanguage = 2;    // 0 English, 1 French, 2 German

}  // namespace

clsResFiles::clsResFiles() : payload_(std::make_unique<ZelPayload>()) {}

clsResFiles::clsResFiles(std::string strExecutablePath)
    : exePath_(std::move(strExecutablePath)), payload_(std::make_unique<ZelPayload>()) {}

clsResFiles::~clsResFiles() = default;

std::string clsResFiles::KeepPrintable(const std::string& strText) {
    std::string kept;
    kept.reserve(strText.size());
    for (const char c : strText) {
        const auto code = static_cast<unsigned char>(c);
        if (code >= 32 && code < 127) kept.push_back(c);
    }
    return kept;
}

bool clsResFiles::GetReadMeData() {
    try {
        const std::string path = exePath_.empty() ? FileSystem::RunningExecutablePath() : exePath_;
        if (path.empty()) return false;
        payload_->PayloadFile(path);
        if (!payload_->GetPayload()) return false;
        const std::int32_t count = payload_->FileCount();
        if (count == 0) return false;

        std::string record;
        bool found = false;
        for (std::int32_t i = 1; i <= count && !found; ++i) {
            const auto file = payload_->File(i);
            if (file && UpperAscii(file->FileName()) == "README.TXT") {
                record = file->FileData();
                found = true;
            }
        }
        if (!found) return true;

        // The record is one line of fields: name, language number, description, and a
        // fourth text that the downloader reads but does not use.
        const std::vector<std::string> fields = SplitAtCommas(KeepPrintable(record));
        if (fields.empty()) return false;
        name_ = fields[0];
        if (fields.size() < 2) return false;
        const std::optional<std::int16_t> number = ParseInt16(fields[1]);
        if (!number) return false;
        if (fields.size() < 3) return false;
        description_ = fields[2];
        if (fields.size() < 4) return false;
        if (*number < 0 || *number > kLastLanguage) {
            // The table has no texts at that offset: show English rather than blanks.
            language_ = 0;
            return false;
        }
        language_ = static_cast<std::int16_t>(*number * kLanguageStep);
        return true;
    } catch (...) {
        return false;
    }
}

std::shared_ptr<clsPayloadFile> clsResFiles::FindBinaryFile() const {
    const std::int32_t count = payload_->FileCount();
    for (std::int32_t i = 1; i <= count; ++i) {
        auto file = payload_->File(i);
        if (file && UpperAscii(file->FileName()).find(".BIN") != std::string::npos) return file;
    }
    return nullptr;
}

std::string clsResFiles::BinaryFileName() const {
    const auto file = FindBinaryFile();
    return file ? file->FileName() : std::string();
}

std::vector<std::uint8_t> clsResFiles::ExtractBinaryData() const {
    if (const auto file = FindBinaryFile()) {
        const std::string& data = file->FileData();
        return std::vector<std::uint8_t>(data.begin(), data.end());
    }
    // A single byte stands for "no binary file".
    return std::vector<std::uint8_t>(1, 0);
}

bool clsResFiles::GetBinaryData(std::vector<std::uint8_t>& bytData) {
    try {
        bytData = ExtractBinaryData();
    } catch (...) {
        bytData.assign(1, 0);
        return false;
    }
    // Fewer than two bytes is no image: a lone byte is the "not found" marker above, and an
    // empty file must not pass for a successful extraction either.
    return bytData.size() > 1;
}
