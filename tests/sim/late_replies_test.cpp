// A device whose replies sometimes come after the time limit. Replies carry no
// request id, so a late one must never be credited to a later request: every
// run either completes with the exact flash or reports its failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "engine/codec.h"
#include "engine/flash_plan.h"
#include "tests/sim/update_bench.h"

namespace q4m::sim::test {
namespace {

// Late replies mixed with errors, drops and damaged blocks, at delays on both
// sides of the block limit. Success with a wrong flash is the one outcome that
// may never happen; a run that neither completes nor reports is a hang.
TEST(LateReplies, SweepNeverReportsSuccessWithAWrongFlash) {
    constexpr auto limit = 20ms;
    struct Case {
        double late;
        double delayFactor;  // times the block limit
        double error;
        double drop;
        double corrupt;
    } cases[] = {
        {0.05, 0.8, 0.05, 0.00, 0.00},
        {0.05, 1.2, 0.05, 0.03, 0.00},
        {0.08, 1.6, 0.05, 0.00, 0.03},
        {0.08, 2.5, 0.03, 0.03, 0.03},
        {0.05, 4.0, 0.05, 0.05, 0.00},
        {0.10, 1.3, 0.10, 0.00, 0.00},
        {0.10, 1.1, 0.00, 0.10, 0.00},
        {0.03, 8.0, 0.05, 0.00, 0.05},
        // Runs of late replies: the re-sent block's reply is late too.
        {0.40, 1.5, 0.10, 0.00, 0.00},
        {0.30, 2.0, 0.10, 0.05, 0.00},
    };
    int runs = 0, exact = 0, failures = 0, silent = 0, late = 0;
    std::uint64_t seed = 1;
    for (const auto& c : cases) {
        for (int i = 0; i < 1; ++i, ++seed) {
            SCOPED_TRACE(::testing::Message()
                         << "late " << c.late << " x" << c.delayFactor << " error " << c.error
                         << " drop " << c.drop << " seed " << seed);
            SimConfig config;
            config.lateProbability = c.late;
            config.lateDelay = std::chrono::milliseconds(
                static_cast<long>(c.delayFactor * static_cast<double>(limit.count())));
            config.errorProbability = c.error;
            config.dropProbability = c.drop;
            config.corruptProbability = c.corrupt;
            config.seed = seed;
            engine::Timings timings = fastTimings(limit);
            timings.retryPause = 2ms;
            Bench bench(config, timings);
            const auto calls = bench.run();
            ++runs;
            late += bench.sim.counters().repliesLate;
            const bool done = completed(calls);
            const bool right = bench.sim.flashCopy() == exactFlash();
            if (done && right) ++exact;
            if (!done && reported(calls)) ++failures;
            EXPECT_FALSE(done && !right) << "completed with a wrong flash";
            EXPECT_TRUE(done || reported(calls)) << "ended without a word";
            if (done && !right) ++silent;
        }
    }
    std::printf(
        "late-reply sweep: %d runs, %d exact, %d reported failures, %d silent failures, "
        "%d late replies\n",
        runs, exact, failures, silent, late);
    EXPECT_EQ(silent, 0);
    EXPECT_GT(late, 0);
    EXPECT_GT(exact, 0);
}

// Every reply late, fences included: the late status of each block arrives
// while its fences are out, confirms it, and no block is written twice.
TEST(LateReplies, LateFencesStillFindTheBlocksOwnReply) {
    SimConfig config;
    config.lateProbability = 1;
    config.lateDelay = 50ms;
    engine::Timings timings = fastTimings(20ms);
    Bench bench(config, timings);
    bench.engine.commands.setActiveIdentity(config.identity);
    bench.engine.commands.sendBeginUpdate();
    constexpr std::uint32_t Length = 4 * 0x1000;
    ASSERT_EQ(engine::writeImage(bench.engine, 0x23000, Length, 133), 0)
        << ::testing::PrintToString(bench.host.recorder().calls());
    EXPECT_EQ(slice(bench.sim.flashCopy(), 0x23000, 0x23000 + Length),
              slice(imageBytes(133), 0, Length));
    const auto counters = bench.sim.counters();
    EXPECT_EQ(counters.blocksWritten, 4);
    EXPECT_EQ(counters.blocksOverUnerased, 0);
    EXPECT_GT(counters.reads, 4);  // more than one fence per block: some were late too
}

// One line per message: direction, length, CRC of the bytes, first bytes.
std::string digest(const std::vector<TranscriptEntry>& transcript) {
    std::ostringstream out;
    char line[96];
    for (const auto& e : transcript) {
        std::snprintf(line, sizeof line, "%s %5zu %08X",
                      e.direction == TranscriptEntry::Direction::ToDevice ? ">" : "<",
                      e.bytes.size(),
                      engine::dataCrc(e.bytes.data(), static_cast<std::uint32_t>(e.bytes.size())));
        out << line;
        for (std::size_t i = 0; i < std::min<std::size_t>(e.bytes.size(), 6); ++i) {
            std::snprintf(line, sizeof line, " %02X", e.bytes[i]);
            out << line;
        }
        out << '\n';
    }
    return out.str();
}

// When every reply comes on time the resynchronisation never shows: the
// messages both ways are exactly those of the stored run.
TEST(LateReplies, OnTimeRunSendsExactlyTheStoredMessages) {
    Bench bench(SimConfig{});
    ASSERT_TRUE(completed(bench.run()));
    const std::string got = digest(bench.sim.transcript());
    const std::string path = std::string(Q4M_TEST_DATA_DIR) + "/on_time_run.txt";
    if (std::getenv("Q4M_REGENERATE")) {
        std::ofstream(path) << got;
        GTEST_SKIP() << "wrote " << path;
    }
    std::ifstream in(path);
    ASSERT_TRUE(in) << path;
    std::stringstream stored;
    stored << in.rdbuf();
    EXPECT_EQ(got, stored.str());
}

}  // namespace
}  // namespace q4m::sim::test
