// Calls a function periodically on the platform's timer thread.
#pragma once

#include <cstdint>

#include "midi/platform.h"

namespace q4m::midi {

class CDxMTimer {
public:
    explicit CDxMTimer(TimerService& service);
    virtual ~CDxMTimer();
    CDxMTimer(const CDxMTimer&) = delete;
    CDxMTimer& operator=(const CDxMTimer&) = delete;

    // Period delay ms; callback(id, msg, user, 0, 0) per tick, or onTimer() when
    // callback is null. Returns the timer id, 0 on failure.
    std::uint32_t start(std::uint32_t delay, TimerCallback callback, std::uintptr_t user);
    int stop();  // always 1
    virtual void onTimer() {}

    std::uint32_t timerId() const { return timerId_; }

private:
    static void defaultCallback(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                                std::uintptr_t);
    TimerService& service_;
    std::uint32_t timerId_ = 0;
    TimerCaps caps_;
    bool periodBegun_ = false;  // so teardown ends exactly the periods begun
};

}  // namespace q4m::midi
