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

// Two replies dispatched before the worker wakes are both kept, in order, each
// with its kind: a stale status after an IdentityReply cannot hide it.
TEST(ReplySlot, RepliesAreKeptInOrderWithTheirKind) {
    ReplySlot slot;
    slot.recordIdentity({0x3C, 0x00, 0x02, 0x00});
    slot.record(0);
    slot.recordRead(0, 3, 8);
    slot.signalUnchanged();
    ASSERT_TRUE(slot.wait(Ms(0)));
    const auto identity = slot.take();
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->kind, ReplyKind::Identity);
    EXPECT_EQ(identity->identity, (DeviceIdentity{0x3C, 0x00, 0x02, 0x00}));
    EXPECT_EQ(slot.take()->kind, ReplyKind::Status);
    const auto read = slot.take();
    EXPECT_EQ(read->kind, ReplyKind::Read);
    EXPECT_EQ(read->readLength, 3);
    EXPECT_EQ(read->readOffset, 8);
    // A ReadReply of another format is never a verified read, whatever the status was.
    const auto other = slot.take();
    EXPECT_EQ(other->kind, ReplyKind::Read);
    EXPECT_NE(other->status, 0);
    EXPECT_EQ(other->readLength, -1);
    EXPECT_FALSE(slot.take());
    EXPECT_EQ(slot.status(), 0);  // ReplyStatus as the last reply left it
}

// A talkative device with nobody waiting keeps only the newest replies, and a
// reset before a request drops them all.
TEST(ReplySlot, PendingRepliesAreBoundedAndDroppedByAReset) {
    ReplySlot slot;
    for (int i = 0; i < static_cast<int>(ReplySlot::MaxPending) + 10; ++i) slot.record(i % 100);
    EXPECT_EQ(slot.take()->status, 10);
    slot.resetEvent();
    EXPECT_FALSE(slot.take());
    EXPECT_FALSE(slot.wait(Ms(0)));
}

}  // namespace
}  // namespace q4m::engine
