#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "TestFiles.h"
#include "ZelPayload.h"

// The reader takes the first marker anywhere in a downloader, so no program or library we
// build may carry the marker's bytes in its own image.

namespace {

namespace fs = std::filesystem;

// Assembled independently of the product code and never as one literal: this test's own
// binary is scanned too.
std::string ExpectedMarker() {
    static const char kShifted[] = ".>,)TUBSU!QBZMPBE*,>.";  // every byte one too high
    static volatile char shift = 1;
    std::string marker;
    for (const char c : std::string(kShifted)) {
        marker.push_back(static_cast<char>(c - shift));
    }
    return marker;
}

// Executables and static libraries under `root` holding the marker other than as the start of
// a genuine appended payload (a downloader some other test may have built there).
std::vector<std::string> Offenders(const std::string& root, std::vector<std::string>& scanned) {
    const std::string marker = ExpectedMarker();
    std::vector<std::string> offenders;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; it != end; it.increment(ec)) {
        struct stat info {};
        const bool candidate =
            it->is_regular_file(ec) &&
            (it->path().extension() == ".a" ||
             (::stat(it->path().c_str(), &info) == 0 && (info.st_mode & S_IXUSR)));
        if (!candidate) {
            continue;
        }
        scanned.push_back(it->path().filename().string());
        std::string bytes;
        try {
            bytes = ReadBytes(it->path().string());
        } catch (const std::exception&) {
            continue;  // gone while we looked
        }
        const auto at = bytes.find(marker);
        if (at != std::string::npos && !(at >= 2 && bytes.compare(at - 2, 2, "\r\n") == 0 &&
                                         bytes.compare(at + marker.size(), 4, "\r\nHE") == 0)) {
            offenders.push_back(it->path().string());
        }
    }
    return offenders;
}

TEST(MarkerAbsence, NoBuiltExecutableOrLibraryHoldsTheMarker) {
    EXPECT_EQ(ZelPayload::Marker(), ExpectedMarker());

    // The scan itself must see a planted marker.
    TempDir dir;
    WriteBytes(dir / "tool", "#!/bin/sh\n# " + ExpectedMarker() + "\n");
    ::chmod((dir / "tool").c_str(), 0755);
    std::vector<std::string> scanned;
    EXPECT_EQ(Offenders(dir.Path(), scanned).size(), 1u);

    scanned.clear();
    const std::vector<std::string> offenders = Offenders(FP_BINARY_DIR, scanned);
    EXPECT_TRUE(offenders.empty()) << "first: " << (offenders.empty() ? "" : offenders.front());
    EXPECT_NE(std::find(scanned.begin(), scanned.end(), "payload_unit_tests"), scanned.end());
    EXPECT_NE(std::find(scanned.begin(), scanned.end(), "libfp_payload.a"), scanned.end());
}

}  // namespace
