// The hand-over of device replies from the dispatcher (timer thread) to the
// waiting update worker, plus the dialog's cancel on close (UI thread).
//
// Replies carry no request id, so each one is kept with its kind (which
// device message it was) in arrival order: a worker waiting for one kind
// takes the replies in order and drops the others as stale, and two replies
// dispatched in one pass never overwrite each other.
//
// Sharing: everything below is guarded by mutex_; every writer records under
// it and then signals the event, so a waiter that wakes finds the reply that
// woke it in the queue. Cancellation is sticky: once cancel() has run, nothing
// recorded later replaces the 255, so a closing run always ends silently.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "engine/auto_reset_event.h"
#include "engine/timings.h"

namespace q4m::engine {

using DeviceIdentity = std::array<std::uint8_t, 4>;

// Which device message a reply was.
enum class ReplyKind : std::uint8_t {
    Identity,  // an IdentityReply
    Status,    // a StatusMessage, or a maker message taken as status 0 (command 0x02)
    Read,      // a ReadReply, verified or not
};

struct Reply {
    ReplyKind kind = ReplyKind::Status;
    std::int32_t status = 0;
    DeviceIdentity identity{};  // Identity
    // Read: the data count the reply announced (-1 when it could not be read,
    // e.g. a reply of another format), and where its bytes were decoded in the
    // ReadBackBuffer (valid when status is 0).
    std::int32_t readLength = -1;
    std::int32_t readOffset = 0;
};

class ReplySlot {
  public:
    static constexpr std::int32_t Cancelled = 255;
    // Replies kept for the worker. A device that talks while nobody waits
    // cannot grow the queue without bound: the oldest replies go first.
    static constexpr std::size_t MaxPending = 64;

    // Dispatcher side: store one reply, then signal.
    void record(std::int32_t status);                     // a status
    void recordIdentity(const DeviceIdentity& identity);  // status 0 and the identity
    void recordRead(std::int32_t status, std::int32_t length, std::int32_t offset);
    // A ReadReply of another format: signalled, ReplyStatus as it was.
    void signalUnchanged();

    // UI side (before a run) and worker side (before each request, so that a
    // reply still pending from an earlier request cannot answer the new one).
    // Drops pending replies and signal. A cancel's signal is never lost.
    void resetEvent();
    void cancel();  // status 255 for good, signal, and wake any pause()

    // Worker side. wait() is true when a reply (or the cancel) was signalled;
    // take() hands out the pending replies oldest first.
    bool wait(Ms limit) { return event_.wait(limit); }
    std::optional<Reply> take();
    // The identity slot, cleared before an IdentityRequest so that nothing
    // from an earlier run can pass for the device's answer.
    void clearIdentity();

    // ReplyStatus and DeviceIdentity as the last reply left them.
    std::int32_t status() const;
    DeviceIdentity deviceIdentity() const;
    bool cancelled() const;
    // Sleeps for the pause unless cancelled first; false when cancelled.
    bool pause(Ms duration);

    bool eventIsSet() const { return event_.isSet(); }

  private:
    void push(const Reply& reply);  // under mutex_

    mutable std::mutex mutex_;
    std::condition_variable cancelCv_;
    std::int32_t status_ = 0;
    DeviceIdentity identity_{};
    bool cancelled_ = false;
    std::deque<Reply> pending_;
    AutoResetEvent event_;
};

}  // namespace q4m::engine
