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
        requestLocked();
    }
}

}  // namespace q4m::cli
