#include "sim/outbox.h"

namespace q4m::sim {

Outbox::Outbox(std::chrono::milliseconds latency, Observer observer)
    : latency_(latency), observer_(std::move(observer)) {}

Outbox::~Outbox() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Outbox::setSender(Sender sender) {
    std::lock_guard lock(mutex_);
    sender_ = std::move(sender);
}

void Outbox::post(std::vector<std::uint8_t> message, std::chrono::milliseconds extraDelay) {
    std::lock_guard lock(mutex_);
    queue_.push_back({Clock::now() + latency_ + extraDelay, std::move(message)});
    if (latency_.count() > 0 || extraDelay.count() > 0) {
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        wake_.notify_one();
    }
}

// Sends the front message with the mutex released, so that the sender may
// post or receive again; sending_ keeps every other thread from sending meanwhile.
void Outbox::deliver(std::unique_lock<std::mutex>& lock) {
    auto message = std::move(queue_.front().bytes);
    queue_.pop_front();
    Sender sender = sender_;
    sending_ = true;
    lock.unlock();
    if (observer_) observer_(message);
    if (sender) sender(std::move(message));
    lock.lock();
    sending_ = false;
    if (queue_.empty()) idle_.notify_all();
    if (thread_.joinable()) wake_.notify_one();
}

void Outbox::pump() {
    std::unique_lock lock(mutex_);
    if (latency_.count() > 0) return;
    while (!sending_ && frontDue()) deliver(lock);
}

void Outbox::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (queue_.empty() || sending_) {
            // sending_: a thread in pump() is delivering; it wakes us when done.
            wake_.wait(lock);
        } else if (!frontDue()) {
            const auto due = queue_.front().due;
            wake_.wait_until(lock, due);
        } else {
            deliver(lock);
        }
    }
}

bool Outbox::waitIdle(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, limit, [this] { return queue_.empty() && !sending_; });
}

}  // namespace q4m::sim
