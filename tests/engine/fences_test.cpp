// The fence log: which fence a ReadReply answers, given that the device answers
// in order and may lose replies.
#include "engine/fences.h"

#include <gtest/gtest.h>

namespace q4m::engine {
namespace {

TEST(FenceLog, LengthsTakeTurnsAndNumbersGrow) {
    FenceLog log;
    EXPECT_EQ(log.lastNumber(), 0u);
    for (std::uint32_t want : {1u, 2u, 3u, 1u, 2u}) {
        EXPECT_EQ(log.nextLength(), want);
        log.sent(want);
    }
    EXPECT_EQ(log.lastNumber(), 5u);
    EXPECT_EQ(log.outstanding(), 5u);
}

// A reply answers the oldest outstanding fence of its length; the fences before
// it lost their replies. Replies of other lengths (the boot-stamp read) or for
// fences no longer listed answer nothing.
TEST(FenceLog, AReplyAnswersTheOldestFenceOfItsLength) {
    FenceLog log;
    for (std::uint32_t length : {1u, 2u, 3u, 1u}) log.sent(length);  // fences 1 to 4
    EXPECT_EQ(log.answered(4), 0u);
    EXPECT_EQ(log.answered(2), 2u);  // fence 1 lost its reply
    EXPECT_EQ(log.outstanding(), 2u);
    EXPECT_EQ(log.answered(2), 0u);
    EXPECT_EQ(log.answered(-1), 0u);
    EXPECT_EQ(log.answered(1), 4u);  // fence 3 lost too
    EXPECT_EQ(log.outstanding(), 0u);
}

}  // namespace
}  // namespace q4m::engine
