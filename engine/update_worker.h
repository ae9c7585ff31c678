// One update run, from the identity handshake to the completion message.
#pragma once

#include <array>

#include "engine/engine.h"

namespace q4m::engine {

inline constexpr std::array<DeviceIdentity, 2> AcceptedIdentities{{
    {0x3C, 0x00, 0x02, 0x00},
    {0x3C, 0x00, 0x01, 0x00},
}};

// The worker thread's procedure; always returns 0.
unsigned UpdateWorker(Engine& engine);

}  // namespace q4m::engine
