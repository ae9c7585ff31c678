#include "tools/cli/signal_watcher.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace q4m::cli {

namespace {

// SIGUSR1 only wakes the watcher when it is to stop.
sigset_t watchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

SignalWatcher::SignalWatcher() {
    const sigset_t set = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    thread_ = std::thread([this] { watch(); });
}

SignalWatcher::~SignalWatcher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        onSignal_ = nullptr;
    }
    pthread_kill(thread_.native_handle(), SIGUSR1);
    thread_.join();
}

void SignalWatcher::watch() {
    const sigset_t set = watchedSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        if (signal == SIGUSR1) continue;
        ++count_;
        // A second request means the first did not end the program: stop now,
        // or once a save under way is done.
        if (signalled_ && !exitDeferred_) ::_exit(130);
        if (signalled_) {
            exitPending_ = true;
            continue;
        }
        signalled_ = true;
        if (onSignal_) onSignal_();
    }
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
    if (exitPending_) ::_exit(130);
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
