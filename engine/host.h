// What the engine needs from its owner (the main dialog, or the command-line
// front end): the one send primitive, the received messages, and the view.
// The engine reaches ports and windows only through these interfaces, so it
// never includes a platform or toolkit header.
#pragma once

#include <cstdint>
#include <span>

#include "engine/update_view.h"

namespace q4m::engine {

class SysexSender {
public:
    virtual ~SysexSender() = default;
    // Sends one whole message; 0 when the platform has taken it, -1 when not.
    // Blocks until the platform is done with the bytes.
    virtual int sendSysex(const std::uint8_t* bytes, std::uint32_t length) = 0;
};

class InboundSource {
public:
    virtual ~InboundSource() = default;
    // The oldest received entry with its byte count; empty when none is queued.
    // Valid until popMessage().
    virtual std::span<const std::uint8_t> frontMessage() = 0;
    virtual void popMessage() = 0;
};

class EngineHost : public SysexSender, public InboundSource {
public:
    virtual UpdateView& view() = 0;
};

}  // namespace q4m::engine
