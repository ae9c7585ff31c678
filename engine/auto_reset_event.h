// Auto-reset event with a timed wait, as the reply hand-over needs it: a signal
// that finds no waiter stays pending, several signals before one wait count as
// one, and a successful wait consumes the signal. The mutex orders memory, so
// whatever the signalling thread wrote before set() is visible after wait().
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace q4m::engine {

class AutoResetEvent {
public:
    void set() {
        {
            std::lock_guard lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_one();
    }

    void reset() {
        std::lock_guard lock(mutex_);
        signalled_ = false;
    }

    // True when signalled within the limit (the signal is consumed), false on timeout.
    bool wait(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, limit, [this] { return signalled_; })) return false;
        signalled_ = false;
        return true;
    }

    bool isSet() const {
        std::lock_guard lock(mutex_);
        return signalled_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace q4m::engine
