#include "midi/portable/portable_timer.h"

#include <chrono>
#include <condition_variable>
#include <thread>

namespace q4m::midi {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t PeriodMin = 1;
constexpr std::uint32_t PeriodMax = 1000000;

// What an event's thread needs. Shared with the thread so that an event killed
// from its own callback can let its thread run out after the service has
// forgotten it.
struct EventState {
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
};

void runEvent(std::shared_ptr<EventState> state, std::uint32_t id, Clock::duration period,
              TimerCallback callback, std::uintptr_t user) {
    auto next = Clock::now() + period;
    std::unique_lock lock(state->mutex);
    for (;;) {
        if (state->wake.wait_until(lock, next, [&] { return state->stopping; })) return;
        lock.unlock();
        callback(id, 0, user, 0, 0);
        lock.lock();
        next += period;
        // After a stall (a slow callback, a busy machine) tick once and pick up
        // the rhythm again instead of firing every missed tick in a burst.
        const auto now = Clock::now();
        if (now - next > period) next += ((now - next) / period) * period;
    }
}

}  // namespace

struct PortableTimerService::Event {
    std::shared_ptr<EventState> state = std::make_shared<EventState>();
    std::thread thread;
};

PortableTimerService::PortableTimerService() = default;

// Stops an event's thread; when this returns, no callback of it runs any more.
// From the event's own callback the thread cannot join itself: it is detached
// instead and ends as soon as that callback returns (it holds its own share of
// the state, so it touches nothing that is freed by the caller).
void PortableTimerService::stopEvent(Event& event) {
    {
        std::lock_guard lock(event.state->mutex);
        event.state->stopping = true;
    }
    event.state->wake.notify_all();
    if (event.thread.get_id() == std::this_thread::get_id())
        event.thread.detach();
    else
        event.thread.join();
}

PortableTimerService::~PortableTimerService() {
    std::map<std::uint32_t, std::unique_ptr<Event>> events;
    {
        std::lock_guard lock(mutex_);
        events.swap(events_);
    }
    for (auto& [id, event] : events) stopEvent(*event);
}

MmResult PortableTimerService::getDevCaps(TimerCaps& caps) {
    caps.periodMin = PeriodMin;
    caps.periodMax = PeriodMax;
    return MmOk;
}

MmResult PortableTimerService::beginPeriod(std::uint32_t period) {
    if (period < PeriodMin || period > PeriodMax) return MmInvalidParam;
    ++periods_;  // ticks come from a steady clock; a period changes nothing but the count
    return MmOk;
}

MmResult PortableTimerService::endPeriod(std::uint32_t period) {
    if (period < PeriodMin || period > PeriodMax) return MmInvalidParam;
    int begun = periods_.load();
    do {
        if (begun <= 0) return MmError;  // no period of this service to end
    } while (!periods_.compare_exchange_weak(begun, begun - 1));
    return MmOk;
}

std::uint32_t PortableTimerService::setEvent(std::uint32_t delay, std::uint32_t /*resolution*/,
                                             TimerCallback callback, std::uintptr_t user) {
    if (refuse_ || !callback || delay < PeriodMin || delay > PeriodMax) return 0;
    std::lock_guard lock(mutex_);
    const std::uint32_t id = nextId_++;
    if (nextId_ == 0) nextId_ = 1;  // 0 means failure
    auto event = std::make_unique<Event>();
    event->thread =
        std::thread(runEvent, event->state, id, std::chrono::milliseconds(delay), callback, user);
    events_.emplace(id, std::move(event));
    return id;
}

MmResult PortableTimerService::killEvent(std::uint32_t timerId) {
    std::unique_ptr<Event> event;
    {
        std::lock_guard lock(mutex_);
        auto found = events_.find(timerId);
        if (found == events_.end()) return MmInvalidParam;
        event = std::move(found->second);
        events_.erase(found);
    }
    stopEvent(*event);
    return MmOk;
}

int PortableTimerService::runningEvents() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(events_.size());
}

}  // namespace q4m::midi
