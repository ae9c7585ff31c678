// Gathers the SysEx bytes of an incoming MIDI byte stream into the receive
// buffers the host lends, with the rules of the in-process virtual service: a
// buffer goes back when a message ends (0xF7) or when it is full, and a
// message longer than one buffer continues at the start of the next.
//
// ALSA hands SysEx over in pieces (a raw device's bytes as they come, the
// sequencer's bridge in 256-byte events), and a real device's stream also
// carries bytes that are no SysEx at all (active sensing, clock, notes). Those
// are left out, so that every buffer the host gets holds SysEx bytes only and
// a new message always starts a new buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace q4m::midi::alsa {

class SysexJoiner {
  public:
    struct Step {
        std::size_t consumed = 0;  // bytes of the piece used up (copied or left out)
        bool bufferReady = false;  // the buffer goes back to the host now
    };

    // Takes bytes from piece into buffer, which holds `recorded` bytes already,
    // until the buffer is ready or the piece is used up. Call again with the
    // rest of the piece (and a fresh buffer when the last one became ready).
    Step feed(std::span<const std::uint8_t> piece, std::span<std::uint8_t> buffer,
              std::uint32_t& recorded);

    // Forgets a message in progress: its remaining bytes are left out until
    // the next 0xF0 (after input was stopped, or bytes were lost).
    void reset() { inMessage_ = false; }
    bool inMessage() const { return inMessage_; }

  private:
    bool inMessage_ = false;
};

}  // namespace q4m::midi::alsa
