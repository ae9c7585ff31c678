// Test double for the engine's owner: records every message sent, keeps a queue
// of "received" messages, and records every view call as a line of text.
// An optional device callback answers each sent message (on the sending thread)
// by returning the replies to queue; an optional poll thread runs the
// dispatcher every millisecond, as the real timer would, or (for sweeps of
// many whole runs) as soon as a message arrives.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/dispatcher.h"
#include "engine/engine.h"
#include "engine/host.h"

namespace q4m::test {

using Bytes = std::vector<std::uint8_t>;

class RecordingView : public engine::UpdateView {
  public:
    void setStatusText(std::string_view t) override { add("status:" + std::string(t)); }
    void setStepText(std::string_view t) override { add("step:" + std::string(t)); }
    void setProgressRange(int lo, int hi) override {
        add("range:" + std::to_string(lo) + "," + std::to_string(hi));
    }
    void setProgressPos(int p) override { add("pos:" + std::to_string(p)); }
    void showError(engine::StringId id) override {
        add("error:" + std::to_string(static_cast<int>(id)));
    }
    void endBusy() override { add("endBusy"); }
    void enableExecute(bool e) override { add(std::string("enableExecute:") + (e ? "1" : "0")); }

    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

  private:
    void add(std::string s) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(s));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

class FakeHost : public engine::EngineHost {
  public:
    // Returns the device's replies to one host message.
    using Device = std::function<std::vector<Bytes>(const Bytes& sent)>;

    ~FakeHost() override { stopPolling(); }

    int sendSysex(const std::uint8_t* bytes, std::uint32_t length) override {
        Bytes msg(bytes, bytes + length);
        Device device;
        {
            std::lock_guard lock(mutex_);
            if (refuseSends_) return -1;
            sent_.push_back(msg);
            device = device_;
        }
        if (device)
            for (auto& reply : device(msg)) receive(std::move(reply));
        return 0;
    }

    std::span<const std::uint8_t> frontMessage() override {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return {};
        return {queue_.front().data(), queue_.front().size()};
    }
    void popMessage() override {
        std::lock_guard lock(mutex_);
        if (!queue_.empty()) queue_.pop_front();
    }
    engine::UpdateView& view() override { return view_; }

    void receive(Bytes message) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(message));
            arrived_ = true;
        }
        wake_.notify_one();
    }
    void setDevice(Device device) {
        std::lock_guard lock(mutex_);
        device_ = std::move(device);
    }
    void setRefuseSends(bool refuse) {
        std::lock_guard lock(mutex_);
        refuseSends_ = refuse;
    }
    std::vector<Bytes> sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    void clearSent() {
        std::lock_guard lock(mutex_);
        sent_.clear();
    }

    enum class Poll {
        EveryMillisecond,
        OnArrival,  // also at once when a message is queued: a whole run in tens of ms
    };

    // Runs dispatchReplies(engine) on a thread of its own: every millisecond,
    // and with OnArrival also as soon as a message is queued.
    void startPolling(engine::Engine& engine, Poll poll = Poll::EveryMillisecond) {
        polling_ = true;
        poller_ = std::thread([this, &engine, poll] {
            while (polling_) {
                engine::dispatchReplies(engine);
                if (poll == Poll::EveryMillisecond) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    continue;
                }
                std::unique_lock lock(mutex_);
                wake_.wait_for(lock, std::chrono::milliseconds(1),
                               [this] { return arrived_ || !polling_; });
                arrived_ = false;
            }
        });
    }
    void stopPolling() {
        {
            std::lock_guard lock(mutex_);
            polling_ = false;
        }
        wake_.notify_one();
        if (poller_.joinable()) poller_.join();
    }

    RecordingView& recorder() { return view_; }

  private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;  // with mutex_: a message arrived, or polling ends
    bool arrived_ = false;
    std::vector<Bytes> sent_;
    std::deque<Bytes> queue_;
    Device device_;
    bool refuseSends_ = false;
    RecordingView view_;
    std::atomic<bool> polling_{false};
    std::thread poller_;
};

}  // namespace q4m::test
