#include "engine/reply_slot.h"

namespace q4m::engine {

void ReplySlot::push(const Reply& reply) {
    if (pending_.size() >= MaxPending) pending_.pop_front();
    pending_.push_back(reply);
}

void ReplySlot::record(std::int32_t status) {
    {
        std::lock_guard lock(mutex_);
        if (!cancelled_) {
            status_ = status;
            push({ReplyKind::Status, status});
        }
    }
    event_.set();
}

void ReplySlot::recordIdentity(const DeviceIdentity& identity) {
    {
        std::lock_guard lock(mutex_);
        if (!cancelled_) {
            status_ = 0;
            identity_ = identity;
            push({ReplyKind::Identity, 0, identity});
        }
    }
    event_.set();
}

void ReplySlot::recordRead(std::int32_t status, std::int32_t length, std::int32_t offset) {
    {
        std::lock_guard lock(mutex_);
        if (!cancelled_) {
            status_ = status;
            push({ReplyKind::Read, status, {}, length, offset});
        }
    }
    event_.set();
}

void ReplySlot::signalUnchanged() {
    {
        std::lock_guard lock(mutex_);
        // Never a verified read: the status it carries is not its own.
        if (!cancelled_) push({ReplyKind::Read, 1, {}, -1, 0});
    }
    event_.set();
}

void ReplySlot::resetEvent() {
    {
        std::lock_guard lock(mutex_);
        pending_.clear();
    }
    event_.reset();
    if (cancelled()) event_.set();
}

void ReplySlot::cancel() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        status_ = Cancelled;
        pending_.clear();
    }
    cancelCv_.notify_all();
    event_.set();
}

std::optional<Reply> ReplySlot::take() {
    std::lock_guard lock(mutex_);
    if (cancelled_ || pending_.empty()) return std::nullopt;
    Reply reply = pending_.front();
    pending_.pop_front();
    return reply;
}

void ReplySlot::clearIdentity() {
    std::lock_guard lock(mutex_);
    identity_ = {};
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
