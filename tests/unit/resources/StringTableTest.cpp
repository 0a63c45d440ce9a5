#include <gtest/gtest.h>

#include <string>

#include "StringTable.h"

namespace {

// The texts themselves are checked where they are shown, by the tests of their users.
TEST(StringTable, HoldsExactlyTheErrorTextsAndTheThreeBlocks) {
    for (int id = -1; id < 500; ++id) {
        const bool held = (id >= 101 && id <= 147) ||
                          (id % 100 >= 52 && id % 100 <= 71 && id >= 152 && id <= 371);
        EXPECT_EQ(LoadResString(id).empty(), !held) << id;
    }
}

}  // namespace
