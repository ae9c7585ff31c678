#include "midi/poll_timer.h"

namespace q4m::midi {

CDxMTimer::CDxMTimer(TimerService& service) : service_(service) {
    if (service_.getDevCaps(caps_) != MmOk) caps_ = TimerCaps{};
}

// Ends exactly the period a start began, no extra one. A subclass whose
// onTimer uses its own members must call stop() in its own destructor: by the
// time this one runs, those members are gone.
CDxMTimer::~CDxMTimer() {
    stop();
}

std::uint32_t CDxMTimer::start(std::uint32_t delay, TimerCallback callback, std::uintptr_t user) {
    stop();
    periodBegun_ = service_.beginPeriod(caps_.periodMin) == MmOk;
    const std::uint32_t id =
        callback ? service_.setEvent(delay, caps_.periodMin, callback, user)
                 : service_.setEvent(delay, caps_.periodMin, &CDxMTimer::defaultCallback,
                                     reinterpret_cast<std::uintptr_t>(this));
    if (id == 0 && periodBegun_) {  // no event, so no reason to keep the period
        service_.endPeriod(caps_.periodMin);
        periodBegun_ = false;
    }
    timerId_ = id;
    return id;
}

int CDxMTimer::stop() {
    if (timerId_ != 0) service_.killEvent(timerId_);
    if (periodBegun_) service_.endPeriod(caps_.periodMin);
    periodBegun_ = false;
    timerId_ = 0;
    return 1;
}

void CDxMTimer::defaultCallback(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t,
                                std::uintptr_t) {
    reinterpret_cast<CDxMTimer*>(user)->onTimer();
}

}  // namespace q4m::midi
