// Whole update runs of the real engine against the simulator: the flash map
// afterwards, with and without faults, and across a power cut.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/dispatcher.h"
#include "engine/engine.h"
#include "engine/flash_plan.h"
#include "engine/images.h"
#include "engine/update_worker.h"
#include "tests/engine/fake_host.h"
#include "tests/sim/harness.h"

namespace q4m::sim::test {
namespace {

using namespace std::chrono_literals;

// Short limits, so that a lost block reply costs blockReply, not 1 s. A limit
// too short for a loaded machine would let a late reply answer the next block.
engine::Timings fastTimings(std::chrono::milliseconds blockReply = 150ms) {
    engine::Timings t;
    t.identityReply = t.beginReply = t.bootStampRead = t.eraseReply = t.endReply = 5s;
    t.beginPause = 1ms;
    t.blockReply = blockReply;
    t.retryPause = 1ms;
    return t;
}

// The engine's owner with the simulator on the other end of the wire.
struct Bench {
    explicit Bench(SimConfig config, engine::Timings timings = fastTimings())
        : sim(std::move(config)), engine(host, timings) {
        sim.setSender([this](Bytes m) { host.receive(std::move(m)); });
        host.setDevice([this](const Bytes& sent) {
            sim.receive(sent);
            return std::vector<Bytes>{};
        });
        host.startPolling(engine);
    }
    ~Bench() { host.stopPolling(); }

    std::vector<std::string> run() {
        engine::UpdateWorker(engine);
        return host.recorder().calls();
    }

    q4m::test::FakeHost host;
    DeviceSimulator sim;  // after host: its answers go to host until it is gone
    engine::Engine engine;
};

Bytes imageBytes(int id) {
    const auto image = engine::findImage(id);
    if (!image) return {};
    return Bytes(image->bytes, image->bytes + image->size);
}

Bytes slice(const Bytes& flash, std::uint32_t from, std::uint32_t to) {
    return Bytes(flash.begin() + from, flash.begin() + to);
}

// The flash map a completed run leaves behind.
void expectUpdatedFlash(const Bytes& flash, bool bootRewritten, const Bytes& oldBoot = {}) {
    const auto boot = imageBytes(142), main = imageBytes(133), app = imageBytes(129),
               sector = imageBytes(139);
    ASSERT_EQ(boot.size(), 0x23000u);
    EXPECT_EQ(slice(flash, 0, 0x23000), bootRewritten ? boot : oldBoot);
    EXPECT_EQ(slice(flash, 0x23000, 0x40000), main);
    EXPECT_EQ(slice(flash, 0x40000, 0x40000 + static_cast<std::uint32_t>(app.size())), app);
    const auto rest = slice(flash, 0x40000 + static_cast<std::uint32_t>(app.size()), 0xDF000);
    EXPECT_TRUE(std::all_of(rest.begin(), rest.end(), [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(slice(flash, 0xDF000, 0xE0000), sector);
}

bool completed(const std::vector<std::string>& calls) {
    return std::find(calls.begin(), calls.end(), "status:Version update completed.") != calls.end();
}

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
