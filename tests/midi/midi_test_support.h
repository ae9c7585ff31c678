// Small helpers shared by the MIDI tests: condition waits with generous
// deadlines (never fixed sleeps) and a peer that records what a virtual
// output device received.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define Q4M_HAVE_LSAN_INTERFACE 1
#endif

namespace q4m::midi::test {

// Memory allocated in its scope is not reported as leaked: for a test of
// memory the code gives up on purpose (a buffer the platform never returned).
struct [[maybe_unused]] LeakAllowed {
#ifdef Q4M_HAVE_LSAN_INTERFACE
    LeakAllowed() {
        __lsan_disable();
    }
    ~LeakAllowed() {
        __lsan_enable();
    }
#endif
};

using Bytes = std::vector<std::uint8_t>;

// Polls until pred holds; false after a deadline far beyond any loaded machine.
template <typename Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class RecordingPeer {
  public:
    void operator()(std::span<const std::uint8_t> message) {
        std::lock_guard lock(mutex_);
        messages_.emplace_back(message.begin(), message.end());
    }
    std::vector<Bytes> messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Bytes> messages_;
};

inline Bytes sysex(std::size_t payload, std::uint8_t fill) {
    Bytes bytes(payload + 2, fill);
    bytes.front() = 0xF0;
    bytes.back() = 0xF7;
    return bytes;
}

}  // namespace q4m::midi::test
