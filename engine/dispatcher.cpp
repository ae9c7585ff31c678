#include "engine/dispatcher.h"

#include <span>

#include "engine/codec.h"

namespace q4m::engine {

namespace {

using Message = std::span<const std::uint8_t>;

constexpr std::int32_t ReadFailed = 1;

// Byte offsets of a ReadReply.
constexpr std::size_t ReadLengthAt = 9;
constexpr std::size_t ReadDataAt = 11;

constexpr bool isDataByte(std::uint8_t b) {
    return b < 0x80;
}

// A ReadReply always wakes the waiter. A reply of another format (byte 5 not
// 4) leaves the status as it was and is never a verified read. Anything else
// short of a well-formed reply whose data match their CRC counts as a failed
// read (status 1). The data count travels with the reply: it tells the
// worker's reads apart.
void handleReadReply(Engine& engine, Message m) {
    if (m.size() > 5 && m[5] != ReadReplyFormat) {
        engine.reply.signalUnchanged();
        return;
    }
    std::int32_t status = ReadFailed;
    std::int32_t length = -1;  // the data count, once it could be read
    std::int32_t offset = 0;
    if (m.size() > ReadLengthAt + 1 && m[5] == ReadReplyFormat && m[6] == ReadFixed &&
        isDataByte(m[ReadLengthAt]) && isDataByte(m[ReadLengthAt + 1])) {
        const std::int32_t n = getSeptet14(&m[ReadLengthAt]);
        const auto packed = static_cast<std::size_t>(packedLength(n));
        // Message too short for its data and CRC: read nothing past its end.
        if (m.size() >= ReadDataAt + packed + 5) {
            length = n;
            const std::uint8_t* data = &m[ReadDataAt];
            const std::uint32_t received = getSeptet32(data + packed);
            status = engine.readBack.withLocked(
                [&](std::uint8_t* buffer, std::int32_t& fill) -> std::int32_t {
                    offset = fill;
                    // Data that would not fit in the rest of the buffer are refused
                    // whole rather than cut; only a new ReadRequest resets the fill.
                    if (n > ReadBackBuffer::Size - fill) return ReadFailed;
                    std::uint8_t* at = buffer + fill;
                    unpackBytes(at, data, static_cast<std::int32_t>(packed));
                    if (dataCrc(at, static_cast<std::uint32_t>(n)) != received) return ReadFailed;
                    fill += n;
                    return 0;
                });
        }
    }
    engine.reply.recordRead(status, length, offset);
}

void handleMakerSpecific(Engine& engine, Message m) {
    if (m.size() < 5) return;  // no command byte: a fragment, left unanswered
    switch (m[4]) {
        case static_cast<std::uint8_t>(Command::Status):
            // A status byte that is not a data byte is not a status: it would
            // otherwise be read as any code up to 255, the value of a cancel.
            if (m.size() < 6 || !isDataByte(m[5])) return;
            engine.reply.record(m[5]);
            return;
        case static_cast<std::uint8_t>(Command::BeginUpdate):
        case static_cast<std::uint8_t>(Command::EndUpdate):
        case 0x05:
            engine.commands.sendAck();
            return;
        case static_cast<std::uint8_t>(Command::WriteBlock):
            engine.reply.record(0);
            return;
        case 0x03:
            return;
        case static_cast<std::uint8_t>(Command::Read):
            handleReadReply(engine, m);
            return;
        default:
            engine.commands.sendNak(1);
            return;
    }
}

void handleUniversal(Engine& engine, Message m) {
    if (m.size() < 5 || m[3] != GeneralInformation) return;
    switch (m[4]) {
        case IdentityRequestId:
            engine.commands.sendIdentityReply();
            return;
        case IdentityReplyId:
            if (m.size() < 10) return;  // cut off before the identity bytes
            engine.reply.recordIdentity({m[6], m[7], m[8], m[9]});
            return;
        default:
            engine.commands.sendNak(1);
            return;
    }
}

void handleMessage(Engine& engine, Message m) {
    // Pieces of an over-long message and anything not SysEx start otherwise.
    if (m.size() < 2 || m[0] != SysexStart) return;
    if (m[1] == ManufacturerId)
        handleMakerSpecific(engine, m);
    else if (m[1] == UniversalNonRealTime)
        handleUniversal(engine, m);
}

}  // namespace

void dispatchReplies(Engine& engine) {
    for (;;) {
        const Message m = engine.host.frontMessage();
        if (m.empty()) return;
        handleMessage(engine, m);
        engine.host.popMessage();
    }
}

void onPollTick(std::uint32_t, std::uint32_t, std::uintptr_t user, std::uintptr_t, std::uintptr_t) {
    if (user != 0) dispatchReplies(*reinterpret_cast<Engine*>(user));
}

}  // namespace q4m::engine
