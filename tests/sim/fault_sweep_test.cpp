// Whole updates against a device that loses, damages, refuses or delays
// messages on any request, or talks unasked, at rates from rare to every
// other message. Each run must end either with success and the exact flash,
// or with an error box after which a recovery run restores the exact flash.
#include <gtest/gtest.h>

#include "tests/sim/update_bench.h"

namespace q4m::sim::test {
namespace {

// Short limits: a lost reply costs a few milliseconds. A reply that misses
// them on a loaded machine is one more late reply, which the runs must
// survive anyway.
constexpr auto BlockLimit = 15ms;
engine::Timings sweepTimings() {
    engine::Timings t = fastTimings(BlockLimit);
    t.identityReply = t.beginReply = t.bootStampRead = t.eraseReply = t.endReply = 30ms;
    return t;
}

struct Case {
    const char* name;
    double drop = 0, corrupt = 0, error = 0;
    double late = 0, lateFactor = 0;  // lateDelay in block limits
    bool chatter = false;
};

std::vector<Case> cases() {
    std::vector<Case> table;
    for (double rate : {0.05, 0.20, 0.50}) {
        table.push_back({"loss", rate, 0, 0});
        table.push_back({"damage", 0, rate, 0});
        table.push_back({"error replies", 0, 0, rate});
    }
    // Late replies just before, at and past the block limit, and past every limit.
    for (double factor : {0.9, 1.0, 1.1, 1.5, 2.5}) table.push_back({"late", 0, 0, 0, 0.1, factor});
    table.push_back({"late and lost", 0.05, 0, 0.05, 0.1, 1.2});
    table.push_back({"chatter", 0, 0, 0, 0, 0, true});
    table.push_back({"chatter with faults", 0.05, 0.05, 0.05, 0.05, 1.2, true});
    return table;
}

TEST(FaultSweep, EveryRunEndsExactOrReportedAndRecoverable) {
    constexpr int SeedsPerCase = 2;
    Tally tally;
    int recoveries = 0;
    std::uint64_t seed = 1400;
    for (const Case& c : cases()) {
        for (int i = 0; i < SeedsPerCase; ++i, ++seed) {
            SCOPED_TRACE(::testing::Message()
                         << c.name << ": drop " << c.drop << " damage " << c.corrupt << " error "
                         << c.error << " late " << c.late << " x" << c.lateFactor << " chatter "
                         << c.chatter << " seed " << seed);
            SimConfig config;
            config.faultScope = FaultScope::AllRequests;
            config.dropProbability = c.drop;
            config.corruptProbability = c.corrupt;
            config.errorProbability = c.error;
            config.lateProbability = c.late;
            config.lateDelay = std::chrono::milliseconds(
                static_cast<long>(c.lateFactor * static_cast<double>(BlockLimit.count())));
            config.chatter = c.chatter;
            config.seed = seed;
            config.recordTranscript = false;
            Bytes flash;
            std::vector<std::string> calls;
            {
                Bench bench(config, sweepTimings(), Bench::Poll::OnArrival);
                calls = bench.run();
                flash = bench.sim.flashCopy();
            }
            EXPECT_TRUE(tally.add(calls, flash))
                << (completed(calls) ? "completed with a wrong flash" : "ended without a word");
            if (completed(calls)) continue;

            // The recovery: the same device, now well behaved, from the flash
            // the failed run left.
            SimConfig healthy;
            healthy.recordTranscript = false;
            Bench bench(healthy, fastTimings(std::chrono::seconds(1)), Bench::Poll::OnArrival);
            bench.sim.setFlash(flash);
            const auto recovery = bench.run();
            ++recoveries;
            EXPECT_TRUE(completed(recovery)) << ::testing::PrintToString(recovery);
            EXPECT_TRUE(bench.sim.flashCopy() == exactFlash()) << "recovery left a wrong flash";
        }
    }
    tally.print("fault sweep");
    std::printf("fault sweep: %d recovery runs after reported failures\n", recoveries);
    EXPECT_EQ(tally.silent, 0);
    EXPECT_GT(tally.exact, 0);
    EXPECT_GT(tally.reported, 0);
}

}  // namespace
}  // namespace q4m::sim::test
