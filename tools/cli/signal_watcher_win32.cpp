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
    requestLocked();
}

}  // namespace q4m::cli
