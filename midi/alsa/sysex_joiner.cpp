#include "midi/alsa/sysex_joiner.h"

namespace q4m::midi::alsa {

namespace {
constexpr std::uint8_t StartOfExclusive = 0xF0;
constexpr std::uint8_t EndOfExclusive = 0xF7;
constexpr std::uint8_t FirstRealTime = 0xF8;
constexpr std::uint8_t FirstStatus = 0x80;
}  // namespace

SysexJoiner::Step SysexJoiner::feed(std::span<const std::uint8_t> piece,
                                    std::span<std::uint8_t> buffer, std::uint32_t& recorded) {
    Step step;
    while (step.consumed < piece.size() && recorded < buffer.size()) {
        const std::uint8_t byte = piece[step.consumed];
        if (byte >= FirstRealTime) {  // may come between any two bytes; never part of SysEx
            ++step.consumed;
            continue;
        }
        if (byte == StartOfExclusive) {
            if (inMessage_ && recorded > 0) {
                // The message before never ended: hand it back as it is and
                // start the new one in a buffer of its own.
                inMessage_ = false;
                step.bufferReady = true;
                return step;
            }
            inMessage_ = true;
            buffer[recorded++] = byte;
            ++step.consumed;
            continue;
        }
        ++step.consumed;
        if (!inMessage_) continue;  // not inside a message: not ours
        if (byte >= FirstStatus && byte != EndOfExclusive) {
            // Any other status byte ends a message without its 0xF7.
            inMessage_ = false;
            if (recorded > 0) {
                step.bufferReady = true;
                return step;
            }
            continue;
        }
        buffer[recorded++] = byte;
        if (byte == EndOfExclusive) {
            inMessage_ = false;
            step.bufferReady = true;
            return step;
        }
    }
    if (recorded > 0 && recorded == buffer.size()) step.bufferReady = true;
    return step;
}

}  // namespace q4m::midi::alsa
