// A power cut after every single request of a whole update, each followed by
// a recovery run on the flash the cut left, and a second cut somewhere in a
// recovery: every recovery must end with the flash of an uninterrupted run,
// byte for byte.
#include <gtest/gtest.h>

#include <random>

#include "tests/sim/update_bench.h"

namespace q4m::sim::test {
namespace {

// Under ThreadSanitizer the sweep is run for its hand-overs between threads,
// which every cut point exercises alike, and each run costs twenty times as
// much: there every eighth cut point, the last included, keeps it near a
// minute. The other builds take every one.
#if defined(__SANITIZE_THREAD__)
constexpr int CutStride = 8;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int CutStride = 8;
#else
constexpr int CutStride = 1;
#endif
#else
constexpr int CutStride = 1;
#endif

struct Outcome {
    std::vector<std::string> calls;
    Bytes flash;
    int messages = 0;  // what the device received, the cut-off ones included
};

// One run of the whole update on a device holding startFlash (a fresh device
// when empty) whose power goes after cutAfter messages (0: never).
Outcome runOnce(const Bytes& startFlash, int cutAfter) {
    SimConfig config;
    config.powerCutAfter = cutAfter;
    config.recordTranscript = false;
    // Replies come at once, so no limit is ever reached; a generous one costs
    // nothing and keeps a loaded machine from adding re-sends.
    Bench bench(config, fastTimings(std::chrono::seconds(1)), Bench::Poll::OnArrival);
    if (!startFlash.empty()) bench.sim.setFlash(startFlash);
    bench.host.setDevice([&bench, cutAfter](const Bytes& sent) {
        bench.sim.receive(sent);
        // Once the device is dead the run could only wait out its time limits
        // (the runs with a cut in update_run_test show those): end it as the
        // operator would, by closing the window.
        if (cutAfter > 0 && bench.sim.counters().messagesReceived > cutAfter)
            bench.engine.reply.cancel();
        return std::vector<Bytes>{};
    });
    Outcome out;
    out.calls = bench.run();
    out.flash = bench.sim.flashCopy();
    out.messages = bench.sim.counters().messagesReceived;
    return out;
}

TEST(Interruption, PowerCutAfterEveryRequestThenRecoveryRestoresTheExactFlash) {
    const Outcome whole = runOnce({}, 0);
    ASSERT_TRUE(completed(whole.calls));
    ASSERT_TRUE(whole.flash == exactFlash());
    const int requests = whole.messages;
    ASSERT_GT(requests, 150);

    // The second cuts' points, the same on every run of the test.
    std::mt19937_64 random(14);
    Tally tally;
    std::vector<int> cuts;
    for (int n = 1; n <= requests; n += CutStride) cuts.push_back(n);
    if (cuts.back() != requests) cuts.push_back(requests);
    for (int n : cuts) {
        SCOPED_TRACE(::testing::Message() << "power cut after request " << n);
        const Outcome cut = runOnce({}, n);
        // Only the last request's answer completes the update.
        ASSERT_EQ(completed(cut.calls), n == requests);

        const Outcome recovered = runOnce(cut.flash, 0);
        EXPECT_TRUE(tally.add(recovered.calls, recovered.flash));
        EXPECT_TRUE(completed(recovered.calls));

        const int second =
            1 + static_cast<int>(random() % static_cast<unsigned>(recovered.messages));
        SCOPED_TRACE(::testing::Message()
                     << "second cut after request " << second << " of the recovery");
        const Outcome cutAgain = runOnce(cut.flash, second);
        const Outcome recoveredAgain = runOnce(cutAgain.flash, 0);
        EXPECT_TRUE(tally.add(recoveredAgain.calls, recoveredAgain.flash));
        EXPECT_TRUE(completed(recoveredAgain.calls));
        if (HasFailure()) break;  // one cut point's story is enough to read
    }
    std::printf("interruption sweep: %zu of %d cut points\n", cuts.size(), requests);
    tally.print("interruption sweep");
    EXPECT_EQ(tally.silent, 0);
    EXPECT_EQ(tally.exact, tally.runs);
}

}  // namespace
}  // namespace q4m::sim::test
