#include "app/ui_bridge.h"

namespace q4m::app {

UiCallBridge::UiCallBridge(DialogWindow& window)
    : window_(window), shared_(std::make_shared<Shared>()) {}

UiCallBridge::~UiCallBridge() {
    close();
}

void UiCallBridge::call(std::function<void()> task) {
    if (window_.onUiThread()) {
        if (!closed()) task();
        return;
    }
    auto ran = std::make_shared<bool>(false);
    {
        std::lock_guard lock(shared_->mutex);
        if (shared_->closed) return;
    }
    window_.postToUiThread([shared = shared_, ran, task = std::move(task)] {
        // close() runs on this same thread, so the check cannot go stale
        // before the task starts.
        {
            std::lock_guard lock(shared->mutex);
            if (shared->closed) return;
        }
        task();
        {
            std::lock_guard lock(shared->mutex);
            *ran = true;
        }
        shared->done.notify_all();
    });
    std::unique_lock lock(shared_->mutex);
    shared_->done.wait(lock, [&] { return *ran || shared_->closed; });
}

void UiCallBridge::post(std::function<void()> task) {
    if (closed()) return;
    window_.postToUiThread([shared = shared_, task = std::move(task)] {
        {
            std::lock_guard lock(shared->mutex);
            if (shared->closed) return;
        }
        task();  // close() runs on this thread too: it cannot come in between
    });
}

void UiCallBridge::close() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->closed = true;
    }
    shared_->done.notify_all();
}

bool UiCallBridge::closed() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->closed;
}

}  // namespace q4m::app
