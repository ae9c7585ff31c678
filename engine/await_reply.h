// The worker's one way of waiting for a device reply.
//
// Each request is answered by one kind of device message; a wait takes the
// replies in arrival order and drops those its request is not answered by, as
// stale, within the same time limit. Every ReadReply taken is shown to the
// fence log, whichever wait takes it.
#pragma once

#include <chrono>
#include <optional>

#include "engine/engine.h"

namespace q4m::engine {

enum class Outcome { Reply, NoReply, Cancelled };

struct Awaited {
    Outcome outcome = Outcome::NoReply;
    Reply reply{};
};

// One reply as a wait sees it: the reply, and the fence it answers (0: none).
struct Taken {
    const Reply& reply;
    std::uint64_t fence;
};

// Before a request is sent: nothing that arrived before it can answer it.
inline void dropPending(Engine& engine) {
    while (auto reply = engine.reply.take())
        if (reply->kind == ReplyKind::Read) engine.fences.answered(reply->readLength);
    engine.reply.resetEvent();
}

// Waits up to limit for the first reply that accept(Taken) takes. A cancel is
// sticky and also signals the event, so it is checked at every wake: a closing
// run must end without touching the window.
template <typename Accept>
Awaited awaitReply(Engine& engine, Ms limit, Accept&& accept) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (engine.reply.cancelled()) return {Outcome::Cancelled};
        // A reply that came with the limit still counts: the queue is read
        // once more after the last wait.
        while (auto reply = engine.reply.take()) {
            const std::uint64_t fence =
                reply->kind == ReplyKind::Read ? engine.fences.answered(reply->readLength) : 0;
            if (accept(Taken{*reply, fence})) return {Outcome::Reply, *reply};
        }
        if (engine.reply.cancelled()) return {Outcome::Cancelled};
        const auto left = std::chrono::ceil<Ms>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {Outcome::NoReply};
        engine.reply.wait(left);
    }
}

inline Awaited awaitReply(Engine& engine, ReplyKind kind, Ms limit) {
    return awaitReply(engine, limit, [kind](const Taken& t) { return t.reply.kind == kind; });
}

// How every failed step ends a run: the error box, then the busy state ends.
inline void reportFailure(Engine& engine, StringId text) {
    engine.view().showError(text);
    engine.view().endBusy();
}

// Waits for the reply of kind to the request just sent. Empty when the run
// ends here: silently after a cancel, reported with timeoutText when no reply came.
inline std::optional<Reply> awaitOrReport(Engine& engine, ReplyKind kind, Ms limit,
                                          StringId timeoutText) {
    const Awaited got = awaitReply(engine, kind, limit);
    switch (got.outcome) {
        case Outcome::Cancelled:
            return std::nullopt;
        case Outcome::NoReply:
            reportFailure(engine, timeoutText);
            return std::nullopt;
        case Outcome::Reply:
            break;
    }
    return got.reply;
}

}  // namespace q4m::engine
