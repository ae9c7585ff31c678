// Whole update runs of the real engine against the simulator: the flash map
// afterwards, with and without faults, and across a power cut.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/flash_plan.h"
#include "tests/sim/update_bench.h"

namespace q4m::sim::test {
namespace {

TEST(DeviceSimulatorUpdateRun, CleanRunWritesTheFlashMap) {
    Bench bench(SimConfig{});  // boot stamp "0.90": the boot region is rewritten
    const auto calls = bench.run();
    ASSERT_TRUE(completed(calls)) << ::testing::PrintToString(calls);
    expectUpdatedFlash(bench.sim.flashCopy(), true);
    const auto counters = bench.sim.counters();
    EXPECT_EQ(counters.erases, 4);
    EXPECT_EQ(counters.blocksWritten, 29 + 35 + 120 + 1);
    EXPECT_EQ(counters.blocksOverUnerased, 0);
    EXPECT_FALSE(bench.sim.updating());
}

TEST(DeviceSimulatorUpdateRun, MatchingBootStampLeavesTheBootRegionAlone) {
    SimConfig config;
    config.bootStamp = "1.00";
    Bench bench(config);
    Bytes flash(DeviceSimulator::FlashSize, 0x00);
    bench.sim.setFlash(flash);
    bench.sim.writeBootStamp("1.00");
    const auto oldBoot = slice(bench.sim.flashCopy(), 0, 0x23000);
    ASSERT_TRUE(completed(bench.run()));
    expectUpdatedFlash(bench.sim.flashCopy(), false, oldBoot);
    EXPECT_EQ(bench.sim.counters().erases, 3);
}

TEST(DeviceSimulatorUpdateRun, FaultyDeviceStillEndsWithTheRightFlash) {
    SimConfig config;
    config.dropProbability = 0.03;
    config.corruptProbability = 0.05;
    config.errorProbability = 0.05;
    config.chatter = true;
    config.chatterRate = 0.1;
    config.seed = 20261211;
    Bench bench(config);
    const auto calls = bench.run();
    ASSERT_TRUE(completed(calls)) << ::testing::PrintToString(calls);
    expectUpdatedFlash(bench.sim.flashCopy(), true);
    const auto counters = bench.sim.counters();
    EXPECT_GT(counters.repliesDropped, 0);
    EXPECT_GT(counters.crcFailures, 0);
    EXPECT_GT(counters.injectedErrors, 0);
    EXPECT_GT(counters.chatterSent, 0);
}

TEST(DeviceSimulatorUpdateRun, NormalModeRefusesTheUpdate) {
    SimConfig config;
    config.updateMode = false;
    Bench bench(config);
    const auto calls = bench.run();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "error:106"), calls.end());
    EXPECT_EQ(bench.sim.counters().erases, 0);
}

// A power cut while the boot region is being rewritten: the run fails, the
// flash keeps the blocks written so far and no boot stamp (the erase took it),
// so a second run on the same flash rewrites the boot region and completes.
TEST(DeviceSimulatorUpdateRun, RunAfterAPowerCutCompletesTheFlash) {
    Bytes afterCut;
    {
        SimConfig config;
        // Identity, begin, read, 2 erases, 29 blocks, erase: message 36 is the
        // boot image's first block. (A block re-sent on a slow machine may
        // shift the cut by a block or so.)
        config.powerCutAfter = 60;
        Bench bench(config, fastTimings(50ms));
        const auto calls = bench.run();
        EXPECT_FALSE(completed(calls));
        EXPECT_NE(std::find(calls.begin(), calls.end(), "error:103"), calls.end());
        afterCut = bench.sim.flashCopy();
        // The boot region holds the image up to a block boundary, then erased bytes.
        const auto boot = imageBytes(142);
        const auto firstDiff = std::mismatch(boot.begin(), boot.end(), afterCut.begin()).first;
        const auto written = static_cast<std::uint32_t>(firstDiff - boot.begin()) / 0x1000 * 0x1000;
        EXPECT_GT(written, 0u);
        const auto unwritten = slice(afterCut, written, 0x23000);
        EXPECT_TRUE(
            std::all_of(unwritten.begin(), unwritten.end(), [](auto b) { return b == 0xFF; }));
    }
    SimConfig config;
    Bench bench(config);
    bench.sim.setFlash(afterCut);
    ASSERT_TRUE(completed(bench.run()));
    expectUpdatedFlash(bench.sim.flashCopy(), true);
}

// A device slower than the block time limit: every confirmation comes late.
// A late confirmation must answer the block it belongs to, never a later one
// the device refused, so the written flash is exact whenever a write succeeds.
TEST(DeviceSimulatorUpdateRun, LateConfirmationsNeverConfirmAnotherBlock) {
    SimConfig config;
    config.latency = 60ms;
    config.corruptProbability = 0.3;
    config.seed = 7;
    engine::Timings timings = fastTimings(20ms);
    timings.retryPause = 100ms;
    Bench bench(config, timings);
    bench.engine.commands.setActiveIdentity(config.identity);
    bench.engine.reply.resetEvent();
    bench.engine.commands.sendBeginUpdate();
    ASSERT_TRUE(bench.engine.reply.wait(5s));
    ASSERT_EQ(engine::eraseRegion(bench.engine, 0x23000, 0x1D000), 0);

    constexpr std::uint32_t Length = 6 * 0x1000;
    ASSERT_EQ(engine::writeImage(bench.engine, 0x23000, Length, 133), 0)
        << ::testing::PrintToString(bench.host.recorder().calls());
    EXPECT_EQ(slice(bench.sim.flashCopy(), 0x23000, 0x23000 + Length),
              slice(imageBytes(133), 0, Length));
    EXPECT_GT(bench.sim.counters().crcFailures, 0);
}

}  // namespace
}  // namespace q4m::sim::test
