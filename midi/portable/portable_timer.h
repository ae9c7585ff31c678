// The timer service on platforms without a multimedia timer: one thread per
// periodic event, ticking on absolute deadlines of a steady clock so that
// ticks do not drift. Used by the ALSA and virtual backends.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "midi/platform.h"

namespace q4m::midi {

class PortableTimerService : public TimerService {
  public:
    PortableTimerService();
    ~PortableTimerService() override;

    MmResult getDevCaps(TimerCaps& caps) override;
    MmResult beginPeriod(std::uint32_t period) override;
    MmResult endPeriod(std::uint32_t period) override;
    std::uint32_t setEvent(std::uint32_t delay, std::uint32_t resolution, TimerCallback callback,
                           std::uintptr_t user) override;
    MmResult killEvent(std::uint32_t timerId) override;

    // Periods begun and not yet ended (for tests of teardown balance).
    int periodsBegun() const { return periods_.load(); }
    int runningEvents() const;
    // When true, setEvent fails (for tests of the failure path).
    void setRefuseEvents(bool refuse) { refuse_ = refuse; }

  private:
    struct Event;
    static void stopEvent(Event& event);
    mutable std::mutex mutex_;
    std::map<std::uint32_t, std::unique_ptr<Event>> events_;
    std::uint32_t nextId_ = 1;
    std::atomic<int> periods_{0};
    std::atomic<bool> refuse_{false};
};

}  // namespace q4m::midi
