// The device's vocabulary: the messages it sends, built byte-exactly, and the
// status codes it reports. The host's requests are parsed in device_simulator.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/commands.h"

namespace q4m::sim {

using Bytes = std::vector<std::uint8_t>;

// Both ends of the wire share one definition of the framing bytes.
using engine::GeneralInformation;
using engine::IdentityReplyId;
using engine::IdentityRequestId;
using engine::SysexEnd;
using engine::SysexStart;
using engine::UniversalNonRealTime;

// Status byte of a device StatusMessage. The host treats every nonzero value
// except 11 as "Transfer error occurred."; distinct codes make tests precise.
enum class Status : std::uint8_t {
    Ok = 0,
    Nak = 1,             // a command the device does not know
    CrcMismatch = 2,     // block data did not match its CRC
    NotBegun = 3,        // erase or write before a BeginUpdateRequest
    OutOfRange = 4,      // address range leaves the flash
    Malformed = 5,       // wrong length or a byte with its top bit set
    Injected = 6,        // default for errors injected by the fault model
    NotUpdateMode = 11,  // the device runs its normal firmware
};

// Largest data count one ReadReply carries (a 14-bit septet field).
inline constexpr std::uint32_t MaxReadReplyData = 16383;

Bytes identityReply(const std::array<std::uint8_t, 4>& identity,
                    const std::array<std::uint8_t, 4>& revision);
Bytes statusMessage(std::uint8_t model, std::uint8_t status);
// One ReadReply carrying data (at most MaxReadReplyData bytes).
Bytes readReply(std::uint8_t model, std::span<const std::uint8_t> data);

// Four ASCII characters for the identity's revision or the boot stamp: longer
// texts are cut, shorter ones padded with blanks.
std::array<std::uint8_t, 4> fourChars(std::string_view text);

// Unsolicited messages the device may send at any time. The host answers the
// ones that need it (ACK, NAK or its IdentityReply) and otherwise ignores them.
enum class ChatterKind : std::uint8_t {
    IdentityRequest,
    Command01,  // answered with ACK
    Command03,  // ignored by the host
    Command04,  // answered with ACK
    Command05,  // answered with ACK
    Unknown33,  // answered with NAK 1
};
inline constexpr std::array<ChatterKind, 6> AllChatterKinds{
    ChatterKind::IdentityRequest, ChatterKind::Command01, ChatterKind::Command03,
    ChatterKind::Command04,       ChatterKind::Command05, ChatterKind::Unknown33};
Bytes chatterMessage(ChatterKind kind, std::uint8_t model);

}  // namespace q4m::sim
