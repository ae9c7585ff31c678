// Every time limit and pause of the updater, in one table. The defaults are the
// product's values; tests construct shorter ones so that no test waits them out.
#pragma once

#include <chrono>

namespace q4m::engine {

using Ms = std::chrono::milliseconds;

struct Timings {
    Ms identityReply{30000};  // IdentityRequest -> IdentityReply
    Ms beginReply{30000};     // BeginUpdateRequest -> status
    Ms beginPause{500};       // after the begin reply, before the flash plan
    Ms bootStampRead{60000};  // ReadRequest -> ReadReply
    Ms eraseReply{60000};     // EraseRequest -> status
    Ms blockReply{1000};      // WriteBlockRequest -> confirmation
    Ms retryPause{100};       // before a failed erase or block is sent again
    Ms endReply{30000};       // EndUpdateRequest -> any reply
    Ms pollPeriod{1};         // reply dispatcher tick
    // Limit on one send's completion wait. A 64 KiB message at DIN speed
    // (3.125 bytes/ms) needs about 21 s, so no legitimate send comes near it.
    Ms sendCompletion{30000};
    // How long closing lets a message already on the wire finish before it is
    // cut off: one 4700-byte block at USB speed takes about 100 ms; the window
    // must still be gone within a second.
    Ms closeGrace{800};
};

// The product's values.
inline constexpr Timings DefaultTimings{};

}  // namespace q4m::engine
