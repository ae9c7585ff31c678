// The worker's one way of waiting for a device reply.
#pragma once

#include "engine/engine.h"

namespace q4m::engine {

enum class Outcome { Reply, NoReply, Cancelled };

// A cancel is sticky and also signals the event, so it is checked whatever the
// wait returned: a closing run must end without touching the window.
inline Outcome awaitReply(Engine& engine, Ms limit) {
    const bool signalled = engine.reply.wait(limit);
    if (engine.reply.cancelled() || (signalled && engine.reply.status() == ReplySlot::Cancelled))
        return Outcome::Cancelled;
    return signalled ? Outcome::Reply : Outcome::NoReply;
}

// How every failed step ends a run: the error box, then the busy state ends.
inline void reportFailure(Engine& engine, StringId text) {
    engine.view().showError(text);
    engine.view().endBusy();
}

// Waits for the reply to the request just sent. False when the run ends here:
// silently after a cancel, reported with timeoutText when no reply came.
inline bool awaitOrReport(Engine& engine, Ms limit, StringId timeoutText) {
    switch (awaitReply(engine, limit)) {
        case Outcome::Cancelled:
            return false;
        case Outcome::NoReply:
            reportFailure(engine, timeoutText);
            return false;
        case Outcome::Reply:
            break;
    }
    return true;
}

}  // namespace q4m::engine
