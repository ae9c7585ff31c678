// Test double for the engine's owner: records every message sent, keeps a queue
// of "received" messages, and records every view call as a line of text.
// An optional device callback answers each sent message (on the sending thread)
// by returning the replies to queue; an optional poll thread runs the
// dispatcher every millisecond, as the real timer would.
#pragma once

#include <atomic>
#include <chrono>
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
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(message));
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

    // Runs dispatchReplies(engine) every millisecond on a thread of its own.
    void startPolling(engine::Engine& engine) {
        polling_ = true;
        poller_ = std::thread([this, &engine] {
            while (polling_) {
                engine::dispatchReplies(engine);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    void stopPolling() {
        polling_ = false;
        if (poller_.joinable()) poller_.join();
    }

    RecordingView& recorder() { return view_; }

private:
    mutable std::mutex mutex_;
    std::vector<Bytes> sent_;
    std::deque<Bytes> queue_;
    Device device_;
    bool refuseSends_ = false;
    RecordingView view_;
    std::atomic<bool> polling_{false};
    std::thread poller_;
};

}  // namespace q4m::test
