#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzTargets.h"

namespace fs = std::filesystem;

namespace {

using Target = int (*)(const std::uint8_t*, std::size_t);

struct Corpus {
    const char* folder;
    Target target;
};

// Runs every saved input of one corpus folder; a broken property aborts with the file's name.
std::size_t Replay(const Corpus& corpus) {
    const fs::path folder = fs::path(FP_FUZZ_CORPUS) / corpus.folder;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                      std::istreambuf_iterator<char>());
        FuzzSetCurrentInput(file.string());
        corpus.target(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    FuzzSetCurrentInput("");
    return files.size();
}

class FuzzReplay : public ::testing::TestWithParam<Corpus> {};

TEST_P(FuzzReplay, EverySavedInputKeepsItsProperties) {
    // An empty folder would make this test pass without looking at anything.
    EXPECT_GT(Replay(GetParam()), 0u) << "no saved inputs in fuzz/corpus/" << GetParam().folder;
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, FuzzReplay,
    ::testing::Values(Corpus{"decoder", FuzzDecoder}, Corpus{"container", FuzzContainer},
                      Corpus{"readme", FuzzReadMe}, Corpus{"device", FuzzDevice}),
    [](const ::testing::TestParamInfo<Corpus>& row) { return std::string(row.param.folder); });

}  // namespace
