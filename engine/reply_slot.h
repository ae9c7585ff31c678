// The hand-over of device replies from the dispatcher (timer thread) to the
// waiting update worker, plus the dialog's cancel on close (UI thread).
//
// Sharing: status and identity are guarded by mutex_; every writer records
// under it and then signals the event, so a waiter that wakes reads the values
// of the reply that woke it (or of a later one), never a torn identity.
// Cancellation is sticky: once cancel() has run, nothing recorded later can
// replace the 255, so a closing run always ends silently.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "engine/auto_reset_event.h"
#include "engine/timings.h"

namespace q4m::engine {

using DeviceIdentity = std::array<std::uint8_t, 4>;

class ReplySlot {
  public:
    static constexpr std::int32_t Cancelled = 255;

    // Dispatcher side: store the outcome of one reply, then signal.
    void record(std::int32_t status);
    void recordIdentity(const DeviceIdentity& identity);  // status 0 and the identity
    void signalUnchanged();                               // signal, status as it was

    // UI side (before a run) and worker side (before each request, so that a
    // reply still pending from an earlier request cannot answer the new one).
    // Drops a pending signal. A cancel's signal is never lost: it is set again.
    void resetEvent();
    void cancel();  // status 255 for good, signal, and wake any pause()

    // Worker side. wait() is true when a reply (or the cancel) was signalled.
    bool wait(Ms limit) { return event_.wait(limit); }
    std::int32_t status() const;
    DeviceIdentity deviceIdentity() const;
    bool cancelled() const;
    // Sleeps for the pause unless cancelled first; false when cancelled.
    bool pause(Ms duration);

    bool eventIsSet() const { return event_.isSet(); }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cancelCv_;
    std::int32_t status_ = 0;
    DeviceIdentity identity_{};
    bool cancelled_ = false;
    AutoResetEvent event_;
};

}  // namespace q4m::engine
