// The line pacing in virtual time: what the host may see, and when.
#include <gtest/gtest.h>

#include "EmuPacer.h"

namespace {

constexpr EmuMicros kByte = 1042;  // one byte at 9600 baud, rounded up

// Bytes reach the host as they finish, 10 bits at 9600 baud without drift; later output queues.
TEST(EmuPacer, EveryByteGoesOutAsItFinishesAndLaterOutputQueues) {
    EmuPacer pacer(9600);
    pacer.Queue({"\r\nAB\r\n", 0});
    pacer.Queue({"d", 1000});  // asked for before the line is free
    std::string writes = pacer.TakeDue(3 * kByte) + "@" + std::to_string(3 * kByte) + " ";
    for (int i = 0; i < 20 && !pacer.OutputIdle(); ++i) {
        const EmuMicros at = pacer.NextDeadline();
        writes += pacer.TakeDue(at) + "@" + std::to_string(at) + " ";
    }
    EXPECT_EQ(writes, "\r\nA@3126 B@4167 \r@5209 \n@6250 d@7292 ");
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
