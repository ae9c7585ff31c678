// Carries calls from other threads to the user-interface thread and waits
// until they have run there, so the worker's view calls take effect in order
// and an error box keeps the worker waiting until it is closed.
//
// Teardown: close() (on the UI thread, when the window goes away) releases
// every waiting caller at once and drops calls that have not run yet, so a
// worker blocked here can never hold up the join that follows.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "app/dialog_window.h"

namespace q4m::app {

class UiCallBridge {
  public:
    explicit UiCallBridge(DialogWindow& window);
    ~UiCallBridge();
    UiCallBridge(const UiCallBridge&) = delete;
    UiCallBridge& operator=(const UiCallBridge&) = delete;

    // Runs task on the UI thread (at once when called there) and returns when
    // it has run, or when the bridge is closed first (the task then never runs).
    void call(std::function<void()> task);
    // Queues task for the UI thread and returns at once; it runs only if the
    // bridge is still open then. Any thread; never runs the task inline.
    void post(std::function<void()> task);
    void close();
    bool closed() const;

  private:
    struct Shared {
        mutable std::mutex mutex;
        std::condition_variable done;
        bool closed = false;
    };
    DialogWindow& window_;
    // Shared with the queued tasks, which may outlive this object in the queue.
    std::shared_ptr<Shared> shared_;
};

}  // namespace q4m::app
