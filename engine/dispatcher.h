// The reply dispatcher: the only reader of what the device sends. Runs on the
// poll timer's thread, empties the received queue each tick, records replies in
// the ReplySlot, answers the device's own requests and decodes read-back data.
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace q4m::engine {

// One pass: handles queued messages in arrival order until the queue is empty.
void dispatchReplies(Engine& engine);

// Poll timer callback; user is the Engine.
void onPollTick(std::uint32_t timerId, std::uint32_t message, std::uintptr_t user,
                std::uintptr_t param1, std::uintptr_t param2);

}  // namespace q4m::engine
