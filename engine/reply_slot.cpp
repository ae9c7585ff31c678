#include "engine/reply_slot.h"

namespace q4m::engine {

void ReplySlot::record(std::int32_t status) {
    {
        std::lock_guard lock(mutex_);
        if (!cancelled_) status_ = status;
    }
    event_.set();
}

void ReplySlot::recordIdentity(const DeviceIdentity& identity) {
    {
        std::lock_guard lock(mutex_);
        if (!cancelled_) {
            status_ = 0;
            identity_ = identity;
        }
    }
    event_.set();
}

void ReplySlot::signalUnchanged() {
    event_.set();
}

void ReplySlot::resetEvent() {
    event_.reset();
    if (cancelled()) event_.set();
}

void ReplySlot::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        status_ = Cancelled;
    }
    cancelCv_.notify_all();
    event_.set();
}

std::int32_t ReplySlot::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

DeviceIdentity ReplySlot::deviceIdentity() const {
    std::lock_guard lock(mutex_);
    return identity_;
}

bool ReplySlot::cancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

bool ReplySlot::pause(Ms duration) {
    std::unique_lock lock(mutex_);
    return !cancelCv_.wait_for(lock, duration, [this] { return cancelled_; });
}

}  // namespace q4m::engine
