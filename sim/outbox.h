// The device's outgoing messages, sent in the order they were posted.
//
// With no latency the thread that posts calls pump() and sends them itself,
// unless another thread is sending at that moment: then that thread sends them
// too, so the sender is never called twice at once and the order holds even
// when a sender answers straight back into the device. With a latency, one
// thread of the outbox's own sends each message once it is due. A message
// posted with an extra delay (a late reply) also goes from that thread, and
// everything posted after it waits behind it: a device answers in order.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace q4m::sim {

class Outbox {
  public:
    using Clock = std::chrono::steady_clock;
    using Sender = std::function<void(std::vector<std::uint8_t>)>;
    // Told about each message just before it goes to the sender.
    using Observer = std::function<void(const std::vector<std::uint8_t>&)>;

    Outbox(std::chrono::milliseconds latency, Observer observer);
    // Stops the thread; messages not yet sent are lost, as when the device is unplugged.
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    void setSender(Sender sender);
    // extraDelay comes on top of the latency, for this message alone.
    void post(std::vector<std::uint8_t> message,
              std::chrono::milliseconds extraDelay = std::chrono::milliseconds(0));
    // Sends what is queued and due on the calling thread, up to the first message
    // that is not due yet. With a latency: nothing (the outbox's thread sends).
    void pump();
    // True once everything posted so far has been sent; false after the limit.
    bool waitIdle(std::chrono::milliseconds limit);

  private:
    struct Pending {
        Clock::time_point due;
        std::vector<std::uint8_t> bytes;
    };
    void run();
    bool frontDue() const { return !queue_.empty() && queue_.front().due <= Clock::now(); }
    void deliver(std::unique_lock<std::mutex>& lock);

    const std::chrono::milliseconds latency_;
    const Observer observer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<Pending> queue_;
    Sender sender_;
    bool sending_ = false;
    bool stopping_ = false;
    std::thread thread_;  // started with the first delayed message
};

}  // namespace q4m::sim
