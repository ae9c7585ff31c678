#include "midi/poll_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "midi/portable/portable_timer.h"
#include "tests/midi/midi_test_support.h"

namespace q4m::midi {
namespace {

using test::eventually;

// The portable service with a log of the calls a timer makes and an exact
// period balance (the service itself refuses to end more than were begun,
// which would hide an extra end).
class LoggingTimerService : public PortableTimerService {
  public:
    MmResult beginPeriod(std::uint32_t period) override {
        log("begin");
        ++balance;
        return PortableTimerService::beginPeriod(period);
    }
    MmResult endPeriod(std::uint32_t period) override {
        log("end");
        --balance;
        return PortableTimerService::endPeriod(period);
    }
    std::uint32_t setEvent(std::uint32_t delay, std::uint32_t resolution, TimerCallback callback,
                           std::uintptr_t user) override {
        log("set");
        return PortableTimerService::setEvent(delay, resolution, callback, user);
    }
    MmResult killEvent(std::uint32_t id) override {
        log("kill");
        return PortableTimerService::killEvent(id);
    }
    std::vector<std::string> takeLog() {
        std::lock_guard lock(mutex);
        return std::exchange(calls, {});
    }
    std::atomic<int> balance{0};

  private:
    void log(const char* call) {
        std::lock_guard lock(mutex);
        calls.emplace_back(call);
    }
    std::mutex mutex;
    std::vector<std::string> calls;
};

void countTick(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t, std::uintptr_t) {
    ++*reinterpret_cast<std::atomic<int>*>(user);
}

TEST(PollTimerTest, StartOnARunningTimerEndsTheOldEventFirst) {
    LoggingTimerService service;
    std::atomic<int> ticks{0};
    CDxMTimer timer(service);
    const std::uint32_t first = timer.start(1, countTick, reinterpret_cast<std::uintptr_t>(&ticks));
    ASSERT_NE(first, 0u);
    EXPECT_EQ(service.takeLog(), (std::vector<std::string>{"begin", "set"}));

    const std::uint32_t second =
        timer.start(1, countTick, reinterpret_cast<std::uintptr_t>(&ticks));
    EXPECT_NE(second, 0u);
    EXPECT_EQ(timer.timerId(), second);
    EXPECT_EQ(service.takeLog(), (std::vector<std::string>{"kill", "end", "begin", "set"}));
    EXPECT_EQ(service.runningEvents(), 1);
    EXPECT_TRUE(eventually([&] { return ticks >= 3; }));

    EXPECT_EQ(timer.stop(), 1);
    EXPECT_EQ(timer.timerId(), 0u);
    EXPECT_EQ(service.runningEvents(), 0);
    EXPECT_EQ(service.balance, 0);
}

TEST(PollTimerTest, StopOnAnIdleTimerDoesNothing) {
    LoggingTimerService service;
    CDxMTimer timer(service);
    EXPECT_EQ(timer.stop(), 1);
    EXPECT_EQ(timer.stop(), 1);
    EXPECT_TRUE(service.takeLog().empty());
}

class CountingTimer : public CDxMTimer {
  public:
    using CDxMTimer::CDxMTimer;
    ~CountingTimer() override { stop(); }  // before ticks stops existing
    void onTimer() override { ++ticks; }
    std::atomic<int> ticks{0};
};

TEST(PollTimerTest, WithoutACallbackEachTickCallsOnTimer) {
    LoggingTimerService service;
    CountingTimer timer(service);
    ASSERT_NE(timer.start(1, nullptr, 0), 0u);
    EXPECT_TRUE(eventually([&] { return timer.ticks >= 3; }));
}

TEST(PollTimerTest, DestroyingARunningTimerStopsIt) {
    LoggingTimerService service;
    std::atomic<int> ticks{0};
    {
        CDxMTimer timer(service);
        ASSERT_NE(timer.start(1, countTick, reinterpret_cast<std::uintptr_t>(&ticks)), 0u);
        ASSERT_TRUE(eventually([&] { return ticks >= 1; }));
    }
    EXPECT_EQ(service.runningEvents(), 0);  // killEvent joined: no tick can follow
    EXPECT_EQ(service.balance, 0);
}

TEST(PollTimerTest, FailedStartLeavesThePeriodsBalanced) {
    LoggingTimerService service;
    service.setRefuseEvents(true);
    {
        CDxMTimer timer(service);
        EXPECT_EQ(timer.start(1, nullptr, 0), 0u);
        EXPECT_EQ(timer.timerId(), 0u);
        EXPECT_EQ(service.balance, 0);
    }
    EXPECT_EQ(service.balance, 0) << "teardown ended a period nobody began";
    EXPECT_EQ(service.periodsBegun(), 0);
}

// An event may end itself from its own callback without joining itself.
TEST(PortableTimerTest, EventKilledFromItsOwnCallbackEnds) {
    PortableTimerService service;
    struct Context {
        PortableTimerService* service;
        std::atomic<int> ticks{0};
        std::atomic<MmResult> killed{MmError};
    } context{&service};
    auto killSelf = [](std::uint32_t id, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                       std::uintptr_t) {
        auto* c = reinterpret_cast<Context*>(user);
        if (++c->ticks == 2) c->killed = c->service->killEvent(id);
    };
    ASSERT_NE(service.setEvent(1, 1, killSelf, reinterpret_cast<std::uintptr_t>(&context)), 0u);
    ASSERT_TRUE(eventually([&] { return context.killed.load() == MmOk; }));
    EXPECT_EQ(service.runningEvents(), 0);
}

TEST(PortableTimerTest, CapsPeriodsAndRefusals) {
    PortableTimerService service;
    TimerCaps caps{0, 0};
    EXPECT_EQ(service.getDevCaps(caps), MmOk);
    EXPECT_EQ(caps.periodMin, 1u);
    EXPECT_EQ(caps.periodMax, 1000000u);

    EXPECT_EQ(service.beginPeriod(1), MmOk);
    EXPECT_EQ(service.periodsBegun(), 1);
    EXPECT_EQ(service.endPeriod(1), MmOk);
    EXPECT_NE(service.endPeriod(1), MmOk);  // none left to end
    EXPECT_EQ(service.periodsBegun(), 0);

    EXPECT_EQ(service.setEvent(0, 1, countTick, 0), 0u);
    EXPECT_NE(service.killEvent(12345), MmOk);
}

}  // namespace
}  // namespace q4m::midi
