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

}  // namespace q4m::engine
