// The line pacing in virtual time: what the host may see, and when.
#include <gtest/gtest.h>

#include "EmuPacer.h"

namespace {

constexpr EmuMicros kByte = 1042;  // one byte at 9600 baud, rounded up

TEST(EmuPacer, PacedOutputLeavesOneByteTimeApartWithoutDrift) {
    EmuPacer pacer(9600);
    pacer.Queue({"0123456789", 0});
    std::string writes;
    EmuMicros now = 0;
    for (int i = 0; i < 20 && !pacer.OutputIdle(); ++i)
        writes += pacer.TakeDue(now = pacer.NextDeadline()) + "|";
    EXPECT_EQ(writes, "0|1|2|3|4|5|6|7|8|9|");
    // Ten bytes of ten bits at 9600 baud: 10.42 ms, not ten rounded-up byte times.
    EXPECT_EQ(now, 10417);
}

// Like a real line, bytes reach the host as they finish, even between a reply's line ends,
// and later output queues behind the line and its own start time.
TEST(EmuPacer, EveryByteGoesOutAsItFinishesAndLaterOutputQueues) {
    EmuPacer pacer(9600);
    pacer.Queue({"\r\nAB\r\n", 0});
    pacer.Queue({"d", 1000});  // asked for before the line is free
    EXPECT_EQ(pacer.TakeDue(1 * kByte), "\r");
    EXPECT_EQ(pacer.TakeDue(2 * kByte), "\n");
    EXPECT_EQ(pacer.TakeDue(3 * kByte), "A");
    EXPECT_EQ(pacer.TakeDue(6 * kByte), "B\r\n");
    EXPECT_EQ(pacer.NextDeadline(), 6250 + kByte);
    EXPECT_EQ(pacer.TakeDue(6250 + kByte), "d");
}

TEST(EmuPacer, InputArrivesAtLineSpeed) {
    EmuPacer pacer(9600);
    pacer.Received("xyz", 5000);
    std::uint8_t byte = 0;
    EmuMicros at = 0;
    EXPECT_FALSE(pacer.TakeInput(5000, byte, at));
    std::string got;
    while (pacer.TakeInput(5000 + 3 * kByte, byte, at))
        got += std::string(1, char(byte)) + "@" + std::to_string(at) + " ";
    EXPECT_EQ(got, "x@6042 y@7084 z@8126 ");
}

}  // namespace
