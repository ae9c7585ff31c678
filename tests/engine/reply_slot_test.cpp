// The reply hand-over's own rules: auto-reset signalling and a sticky cancel.
#include "engine/reply_slot.h"

#include <gtest/gtest.h>

namespace q4m::engine {
namespace {

TEST(ReplySlot, SignalsCoalesceAndAreConsumedByOneWait) {
    ReplySlot slot;
    slot.record(2);
    slot.record(0);
    EXPECT_TRUE(slot.wait(Ms(0)));
    EXPECT_EQ(slot.status(), 0);
    EXPECT_FALSE(slot.wait(Ms(0)));
}

// A cancel survives everything after it: later replies, and the reset each
// request does before it is sent (or the worker would wait out a full limit).
TEST(ReplySlot, CancelIsStickyAndItsSignalSurvivesAReset) {
    ReplySlot slot;
    slot.cancel();
    slot.record(0);
    slot.recordIdentity({1, 2, 3, 4});
    slot.resetEvent();
    EXPECT_TRUE(slot.wait(Ms(0)));
    EXPECT_EQ(slot.status(), ReplySlot::Cancelled);
    EXPECT_EQ(slot.deviceIdentity(), (DeviceIdentity{}));
    EXPECT_FALSE(slot.pause(Ms(1000)));
}

}  // namespace
}  // namespace q4m::engine
