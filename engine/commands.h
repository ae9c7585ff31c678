// The host's side of the device command set: every message the host sends,
// built byte-exactly, and the ActiveIdentity whose first byte (the ModelByte)
// every maker-specific message carries.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/host.h"
#include "engine/reply_slot.h"

namespace q4m::engine {

inline constexpr std::uint8_t ManufacturerId = 0x7D;

// Framing and the universal General Information messages.
inline constexpr std::uint8_t SysexStart = 0xF0;
inline constexpr std::uint8_t SysexEnd = 0xF7;
inline constexpr std::uint8_t UniversalNonRealTime = 0x7E;
inline constexpr std::uint8_t GeneralInformation = 0x06;
inline constexpr std::uint8_t IdentityRequestId = 0x01;
inline constexpr std::uint8_t IdentityReplyId = 0x02;

// Fixed bytes of a ReadRequest (byte 5) and of a ReadReply (bytes 5 and 6).
inline constexpr std::uint8_t ReadFixed = 0x30;
inline constexpr std::uint8_t ReadReplyFormat = 0x04;

// Maker-specific command bytes (byte 4).
enum class Command : std::uint8_t {
    Status = 0x00,
    BeginUpdate = 0x01,
    WriteBlock = 0x02,
    EndUpdate = 0x04,
    Erase = 0x0A,
    Read = 0x60,
};

class CommandSet {
public:
    static constexpr std::int32_t SendBufferSize = 65536;
    static constexpr std::int32_t MaxBlockLength = 16383;  // what a 14-bit length can carry

    explicit CommandSet(SysexSender& sender);

    // Each returns what sendSysex returns: 0 sent, -1 not.
    int sendIdentityRequest();
    int sendIdentityReply();
    int sendAck();
    int sendNak(std::uint8_t code);
    int sendBeginUpdate();
    int sendWriteBlock(std::uint8_t modelByte, const std::uint8_t* data, std::int32_t address,
                       std::int32_t length);
    int sendEndUpdate();
    int sendErase(std::uint8_t modelByte, std::int32_t address, std::int32_t size);
    int sendReadRequest(std::uint32_t address, std::uint32_t length);

    // Identity bytes of the host's IdentityReply; sends nothing.
    void setReplyIdentity(const DeviceIdentity& identity);
    DeviceIdentity replyIdentity() const;

    void setActiveIdentity(const DeviceIdentity& identity);
    DeviceIdentity activeIdentity() const;
    std::uint8_t modelByte() const { return activeIdentity()[0]; }

private:
    int sendFixed(Command command, std::int32_t length, std::uint8_t status);

    SysexSender& sender_;
    // Sharing: the worker and the dispatcher both send. sendMutex_ is held from
    // the first byte assembled until sendSysex returns, so a message stays
    // intact, sends never interleave, and the identity bytes of the host's
    // IdentityReply (written under the same mutex) go out all old or all new.
    mutable std::mutex sendMutex_;
    std::unique_ptr<std::uint8_t[]> sendBuffer_;
    std::array<std::uint8_t, 15> identityReply_;
    DeviceIdentity activeIdentity_{};
};

}  // namespace q4m::engine
