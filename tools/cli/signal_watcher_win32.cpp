// The cancel request on Windows: Ctrl-C, Ctrl-Break and the console window's
// close, taken by a console control handler. The system runs the handler on a
// thread of its own, so it plays the watcher thread's part.
#include <windows.h>

#include <atomic>

#include "tools/cli/signal_watcher.h"

namespace q4m::cli {

namespace {

// One watcher per process, as there is one console.
std::atomic<SignalWatcher*> current{nullptr};

}  // namespace

BOOL WINAPI SignalWatcher::consoleHandler(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (SignalWatcher* watcher = current.load()) {
                watcher->onRequest();
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

SignalWatcher::SignalWatcher() {
    current = this;
    SetConsoleCtrlHandler(&SignalWatcher::consoleHandler, TRUE);
}

SignalWatcher::~SignalWatcher() {
    SetConsoleCtrlHandler(&SignalWatcher::consoleHandler, FALSE);
    current = nullptr;
    std::lock_guard lock(mutex_);  // a handler still running finishes first
    onSignal_ = nullptr;
}

void SignalWatcher::onRequest() {
    std::lock_guard lock(mutex_);
    ++count_;
    // A second request means the first did not end the program: stop now, or
    // once a save under way is done.
    if (signalled_ && !exitDeferred_) ExitProcess(130);
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
    if (exitPending_) ExitProcess(130);
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
