// The hand-over of view calls to the UI thread, and its release at teardown.
#include "app/ui_bridge.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/app/fake_window.h"

namespace q4m::app::test {
namespace {

TEST(UiCallBridge, RunsCallsOnTheUiThreadInOrderAndReturnsAfterThem) {
    FakeWindow window;
    UiCallBridge bridge(window);
    std::vector<int> ran;  // touched only on the UI thread
    std::atomic<int> returned{0};
    std::thread worker([&] {
        for (int i = 0; i < 50; ++i) {
            bridge.call([&, i] {
                EXPECT_TRUE(window.onUiThread());
                ran.push_back(i);
            });
            // The call has run by the time it returns.
            returned = i + 1;
        }
    });
    ASSERT_TRUE(window.pumpUntil([&] { return static_cast<int>(ran.size()) == 50; }));
    worker.join();
    EXPECT_EQ(returned.load(), 50);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(ran[i], i);

    // On the UI thread itself a call runs at once.
    bool inline_ = false;
    bridge.call([&] { inline_ = true; });
    EXPECT_TRUE(inline_);
}

TEST(UiCallBridge, CloseReleasesAWaitingCallerAndDropsItsCall) {
    FakeWindow window;
    UiCallBridge bridge(window);
    std::atomic<bool> returned{false};
    bool ran = false;
    std::thread worker([&] {
        bridge.call([&] { ran = true; });
        returned = true;
    });
    // The call is queued and its caller waits; the UI thread never pumps, so
    // only close() can let the worker go.
    while (window.pending() == 0) std::this_thread::yield();
    bridge.close();
    worker.join();
    EXPECT_TRUE(returned);
    window.pumpPending();
    EXPECT_FALSE(ran);

    // After the close, calls from any thread return at once and never run.
    std::thread late([&] { bridge.call([&] { ran = true; }); });
    late.join();
    bridge.call([&] { ran = true; });
    window.pumpPending();
    EXPECT_FALSE(ran);
}

// post() never waits and never runs inline; what is still queued at the
// close is dropped, so a late notice cannot reach a dialog that is gone.
TEST(UiCallBridge, PostedTasksRunLaterOnTheUiThreadUnlessClosedFirst) {
    FakeWindow window;
    UiCallBridge bridge(window);
    int ran = 0;  // touched only on the UI thread
    std::thread([&] { bridge.post([&] { ran += window.onUiThread() ? 1 : 100; }); }).join();
    bridge.post([&] { ran += 10; });
    EXPECT_EQ(ran, 0);
    window.pumpPending();
    EXPECT_EQ(ran, 11);

    std::thread([&] { bridge.post([&] { ++ran; }); }).join();
    bridge.close();
    window.pumpPending();
    bridge.post([&] { ++ran; });
    window.pumpPending();
    EXPECT_EQ(ran, 11);
}

}  // namespace
}  // namespace q4m::app::test
