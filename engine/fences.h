// Read fences: how the worker finds its place again after a reply went missing.
//
// Replies carry no request id, but the device answers in order. So after a
// missing reply the worker sends a ReadRequest (a fence) and waits for its
// ReadReply: every status that arrives before it answers an earlier request.
// Fences read 1, 2 or 3 bytes of the boot stamp in turn and are told apart by
// the length their ReadReply carries (the boot-stamp check itself reads 4, so
// it is never taken for a fence).
//
// The log lists the fences whose reply has not come, oldest first. A reply of
// length n answers the oldest listed fence of that length; the fences before it
// lost their replies. Should an older fence of the same length have lost its
// reply, the one answered is in truth a later one: everything sent before the
// fence the log names has been answered all the same, so the conclusion stays
// sound. Worker thread only.
#pragma once

#include <cstdint>
#include <deque>

namespace q4m::engine {

class FenceLog {
  public:
    static constexpr std::uint32_t MaxLength = 3;

    // The length of the next fence: 1, 2, 3, 1, ...
    std::uint32_t nextLength() {
        length_ = length_ % MaxLength + 1;
        return length_;
    }

    // Number of the last fence sent (0 before the first); numbers only grow.
    std::uint64_t lastNumber() const { return number_; }

    // Call once the fence of that length has been sent.
    void sent(std::uint32_t length) { outstanding_.push_back({++number_, length}); }

    // A ReadReply announcing length arrived. Returns the number of the fence
    // it answers, or 0 when it answers none of the listed fences.
    std::uint64_t answered(std::int32_t length) {
        for (auto it = outstanding_.begin(); it != outstanding_.end(); ++it) {
            if (static_cast<std::int32_t>(it->length) != length) continue;
            const std::uint64_t number = it->number;
            outstanding_.erase(outstanding_.begin(), it + 1);
            return number;
        }
        return 0;
    }

    std::size_t outstanding() const { return outstanding_.size(); }

  private:
    struct Fence {
        std::uint64_t number;
        std::uint32_t length;
    };
    std::deque<Fence> outstanding_;
    std::uint64_t number_ = 0;
    std::uint32_t length_ = 0;
};

}  // namespace q4m::engine
