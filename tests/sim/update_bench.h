// Whole update runs of the real engine against the simulator: the bench that
// wires them together and the flash map a completed run leaves behind.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/dispatcher.h"
#include "engine/engine.h"
#include "engine/images.h"
#include "engine/update_worker.h"
#include "tests/engine/fake_host.h"
#include "tests/sim/harness.h"

namespace q4m::sim::test {

using namespace std::chrono_literals;

// Short limits, so that a lost block reply costs blockReply, not 1 s. A limit
// too short for a loaded machine would let a late reply answer the next block.
inline engine::Timings fastTimings(std::chrono::milliseconds blockReply = 150ms) {
    engine::Timings t;
    t.identityReply = t.beginReply = t.bootStampRead = t.eraseReply = t.endReply = 5s;
    t.beginPause = 1ms;
    t.blockReply = blockReply;
    t.retryPause = 1ms;
    return t;
}

// The engine's owner with the simulator on the other end of the wire.
struct Bench {
    using Poll = q4m::test::FakeHost::Poll;

    explicit Bench(SimConfig config, engine::Timings timings = fastTimings(),
                   Poll poll = Poll::EveryMillisecond)
        : sim(std::move(config)), engine(host, timings) {
        sim.setSender([this](Bytes m) { host.receive(std::move(m)); });
        host.setDevice([this](const Bytes& sent) {
            sim.receive(sent);
            return std::vector<Bytes>{};
        });
        host.startPolling(engine, poll);
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

inline Bytes imageBytes(int id) {
    const auto image = engine::findImage(id);
    if (!image) return {};
    return Bytes(image->bytes, image->bytes + image->size);
}

inline Bytes slice(const Bytes& flash, std::uint32_t from, std::uint32_t to) {
    return Bytes(flash.begin() + from, flash.begin() + to);
}

// The flash map a completed run leaves behind.
inline void expectUpdatedFlash(const Bytes& flash, bool bootRewritten, const Bytes& oldBoot = {}) {
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

inline bool completed(const std::vector<std::string>& calls) {
    return std::find(calls.begin(), calls.end(), "status:Version update completed.") != calls.end();
}

// The run ended with an error box.
inline bool reported(const std::vector<std::string>& calls) {
    return std::any_of(calls.begin(), calls.end(),
                       [](const std::string& c) { return c.rfind("error:", 0) == 0; });
}

// The flash an uninterrupted, fault-free run leaves on a fresh device.
inline const Bytes& exactFlash() {
    static const Bytes flash = [] {
        Bench bench(SimConfig{});
        bench.run();
        return bench.sim.flashCopy();
    }();
    return flash;
}

// How a sweep's runs ended. Success with a wrong flash, and an end without
// success or error box, are the silent failures that may never happen.
struct Tally {
    int runs = 0, exact = 0, reported = 0, silent = 0;

    // True when the run ended in one of the two allowed ways.
    bool add(const std::vector<std::string>& calls, const Bytes& flash) {
        ++runs;
        const bool done = completed(calls);
        if (done && flash == exactFlash()) {
            ++exact;
            return true;
        }
        if (!done && test::reported(calls)) {
            ++reported;
            return true;
        }
        ++silent;
        return false;
    }

    void print(const char* sweep) const {
        std::printf("%s: %d runs, %d exact, %d reported failures, %d silent failures\n", sweep,
                    runs, exact, reported, silent);
    }
};

}  // namespace q4m::sim::test
