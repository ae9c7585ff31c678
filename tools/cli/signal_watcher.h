// SIGINT and SIGTERM as a cancel request, handled on a thread of its own:
// the signals are blocked in every thread and taken with sigwait, so no work
// runs in a signal handler. Construct it before any other thread starts, so
// that every thread inherits the blocked mask. On Windows the same requests
// come as console control events (Ctrl-C, Ctrl-Break, close):
// signal_watcher_win32.cpp.
#pragma once

#include <functional>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace q4m::cli {

class SignalWatcher {
  public:
    SignalWatcher();
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    // Runs start unless a signal came already; then, until disarm, the first
    // signal runs onSignal on the watcher thread. Both run under one lock, so
    // a signal never cancels a half-started run. Returns start's result, or
    // false when a signal came first.
    bool armWith(const std::function<bool()>& start, std::function<void()> onSignal);
    void disarm();
    bool signalled() const;
    // Between these a second signal does not end the program at once but when
    // allowExit is called: a file being saved is finished first (its temporary
    // file would otherwise be left beside it).
    void deferExit();
    void allowExit();
    // How many signals have come (for tests).
    int signalCount() const;

  private:
    void requestLocked();  // one more request, under mutex_
#ifdef _WIN32
    static BOOL WINAPI consoleHandler(DWORD event);
    void onRequest();
#else
    void watch();
#endif

    mutable std::mutex mutex_;  // guards everything below but thread_
    bool signalled_ = false;
    bool stopping_ = false;
    bool exitDeferred_ = false;
    bool exitPending_ = false;
    int count_ = 0;
    std::function<void()> onSignal_;
    std::thread thread_;
};

}  // namespace q4m::cli
