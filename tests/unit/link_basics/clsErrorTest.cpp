#include <gtest/gtest.h>

#include "clsError.h"

namespace {

TEST(clsError, NonZeroLoadsItsTextAndRaisesEveryTimeZeroClearsSilently) {
    clsError err;
    int raised = 0;
    err.Error = [&] { ++raised; };
    err.Number(143);
    EXPECT_EQ(err.Message(), "Download binary data acknowledge not received.");
    EXPECT_EQ(raised, 1);
    err.Number(143);
    EXPECT_EQ(raised, 2);
    err.Number(0);
    EXPECT_EQ(err.Number(), 0);
    EXPECT_EQ(err.Message(), "");
    EXPECT_EQ(raised, 2);
}

}  // namespace
