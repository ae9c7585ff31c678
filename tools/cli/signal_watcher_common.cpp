// The half of the signal watcher that is the same on every platform: what a
// request does, and arming, disarming and deferring the exit. The platform
// files only catch the requests.
#include <cstdlib>

#include "tools/cli/signal_watcher.h"

namespace q4m::cli {

// Under mutex_. A second request means the first did not end the program:
// stop now, or once a save under way is done.
void SignalWatcher::requestLocked() {
    ++count_;
    if (signalled_ && !exitDeferred_) std::_Exit(130);
    if (signalled_) {
        exitPending_ = true;
        return;
    }
    signalled_ = true;
    if (onSignal_) onSignal_();
}

bool SignalWatcher::armWith(const std::function<bool()>& start, std::function<void()> onSignal) {
    std::lock_guard lock(mutex_);
    if (signalled_) return false;
    const bool started = start();
    if (started) onSignal_ = std::move(onSignal);
    return started;
}

void SignalWatcher::disarm() {
    std::lock_guard lock(mutex_);
    onSignal_ = nullptr;
}

void SignalWatcher::deferExit() {
    std::lock_guard lock(mutex_);
    exitDeferred_ = true;
}

void SignalWatcher::allowExit() {
    std::lock_guard lock(mutex_);
    exitDeferred_ = false;
    if (exitPending_) std::_Exit(130);
}

int SignalWatcher::signalCount() const {
    std::lock_guard lock(mutex_);
    return count_;
}

bool SignalWatcher::signalled() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

}  // namespace q4m::cli
