// The WinMM backend on what a machine without MIDI devices can run (Wine has
// none): device counts and refusals through the ports, and the timer's
// promises: ticks come, and none runs after a kill has returned.
#include <gtest/gtest.h>
// windows.h first: the other header needs its types.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <thread>

#include "midi/in_port.h"
#include "midi/out_port.h"
#include "midi/poll_timer.h"
#include "midi/winmm/winmm_midi.h"

namespace q4m::midi {
namespace {

using namespace std::chrono_literals;

template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds limit = 5s) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(WinMmMidi, PortsSeeTheSystemsDevicesAndAnIndexBeyondThemIsRefused) {
    WinMmMidiService service;
    MidiInPort in(service);
    MidiOutPort out(service, 1s);
    EXPECT_EQ(in.deviceCount(), static_cast<int>(midiInGetNumDevs()));
    EXPECT_EQ(out.deviceCount(), static_cast<int>(midiOutGetNumDevs()));

    const int missingIn = in.deviceCount(), missingOut = out.deviceCount();
    char name[MidiInPort::NameCapacity] = "unchanged";
    in.deviceName(missingIn, name);
    EXPECT_STREQ(name, "");
    in.setDeviceIndex(missingIn);
    EXPECT_EQ(in.start(), 0);
    EXPECT_FALSE(in.isStarted());
    EXPECT_EQ(out.open(missingOut), 0);
    EXPECT_FALSE(out.isOpen());
    const std::uint8_t identity[] = {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    EXPECT_EQ(sendSysex(out, identity, sizeof identity), -1);
    EXPECT_FALSE(service.errorText(MMSYSERR_BADDEVICEID).empty());
}

TEST(WinMmTimer, APeriodicEventTicksUntilStopped) {
    WinMmTimerService service;
    TimerCaps caps;
    ASSERT_EQ(service.getDevCaps(caps), MmOk);
    EXPECT_GE(caps.periodMin, 1u);
    std::atomic<int> ticks{0};
    CDxMTimer timer(service);
    ASSERT_NE(timer.start(
                  1,
                  [](std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                     std::uintptr_t) { ++*reinterpret_cast<std::atomic<int>*>(user); },
                  reinterpret_cast<std::uintptr_t>(&ticks)),
              0u);
    EXPECT_TRUE(waitFor([&] { return ticks.load() >= 20; }));
    timer.stop();
    const int after = ticks.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ticks.load(), after);
}

// A callback long enough that a kill nearly always lands while one runs.
struct SlowTicks {
    std::atomic<bool> inside{false};
    std::atomic<int> count{0};
    static void tick(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                     std::uintptr_t) {
        auto* self = reinterpret_cast<SlowTicks*>(user);
        self->inside = true;
        std::this_thread::sleep_for(2ms);
        ++self->count;
        self->inside = false;
    }
};

TEST(WinMmTimer, NoCallbackRunsOnceKillHasReturned) {
    WinMmTimerService service;
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        SlowTicks ticks;
        const std::uint32_t id =
            service.setEvent(1, 1, &SlowTicks::tick, reinterpret_cast<std::uintptr_t>(&ticks));
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(waitFor([&] { return ticks.inside.load(); }));
        ASSERT_EQ(service.killEvent(id), MmOk);
        EXPECT_FALSE(ticks.inside.load());
        const int count = ticks.count.load();
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(ticks.count.load(), count);
    }
    EXPECT_EQ(service.killEvent(12345), MmInvalidParam);
}

TEST(WinMmTimer, AnEventMayKillItselfFromItsCallback) {
    struct Self {
        WinMmTimerService* service;
        std::atomic<std::uint32_t> id{0};
        std::atomic<int> count{0};
        std::atomic<bool> killed{false};
    } self;
    WinMmTimerService service;
    self.service = &service;
    self.id = service.setEvent(
        1, 1,
        [](std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t, std::uintptr_t) {
            auto* s = reinterpret_cast<Self*>(user);
            ++s->count;
            if (s->count.load() == 3 && s->service->killEvent(id) == MmOk) s->killed = true;
        },
        reinterpret_cast<std::uintptr_t>(&self));
    ASSERT_NE(self.id.load(), 0u);
    ASSERT_TRUE(waitFor([&] { return self.killed.load(); }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(self.count.load(), 3);
}

}  // namespace
}  // namespace q4m::midi
