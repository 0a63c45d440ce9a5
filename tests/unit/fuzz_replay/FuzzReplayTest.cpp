// The saved fuzz corpus through the fuzzers' bodies; a broken property aborts naming the input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzTargets.h"
#include "TestFiles.h"

namespace {

using Target = int (*)(const std::uint8_t*, std::size_t);

TEST(FuzzReplay, EverySavedInputKeepsItsProperties) {
    const std::pair<const char*, Target> corpora[] = {{"decoder", FuzzDecoder},
                                                      {"container", FuzzContainer},
                                                      {"readme", FuzzReadMe},
                                                      {"device", FuzzDevice}};
    for (const auto& [folder, target] : corpora) {
        std::vector<std::string> files;
        for (const auto& entry :
             std::filesystem::directory_iterator(std::string(FP_FUZZ_CORPUS) + "/" + folder))
            if (entry.is_regular_file()) files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        // An empty folder would make this test pass without looking at anything.
        EXPECT_FALSE(files.empty()) << "no saved inputs in fuzz/corpus/" << folder;
        for (const std::string& file : files) {
            const std::string bytes = ReadBytes(file);
            FuzzSetCurrentInput(file);
            target(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        }
    }
    FuzzSetCurrentInput("");
}

}  // namespace
