#include "sim/device_messages.h"

#include "engine/codec.h"
#include "engine/commands.h"

namespace q4m::sim {

using engine::Command;
using engine::ManufacturerId;

Bytes identityReply(const std::array<std::uint8_t, 4>& identity,
                    const std::array<std::uint8_t, 4>& revision) {
    Bytes m{SysexStart,         UniversalNonRealTime, 0x00,
            GeneralInformation, IdentityReplyId,      ManufacturerId};
    // Masked so that whatever the configuration holds, the message stays valid SysEx.
    for (auto b : identity) m.push_back(b & 0x7F);
    for (auto b : revision) m.push_back(b & 0x7F);
    m.push_back(SysexEnd);
    return m;
}

Bytes statusMessage(std::uint8_t model, std::uint8_t status) {
    return {SysexStart, ManufacturerId,
            0x00,       static_cast<std::uint8_t>(model & 0x7F),
            0x00,       std::uint8_t(status & 0x7F),
            SysexEnd};
}

Bytes readReply(std::uint8_t model, std::span<const std::uint8_t> data) {
    const auto n = static_cast<std::int32_t>(data.size());
    const auto packed = engine::packedLength(n);
    Bytes m(static_cast<std::size_t>(packed) + 17, 0);
    m[0] = SysexStart;
    m[1] = ManufacturerId;
    m[2] = 0x00;
    m[3] = model & 0x7F;
    m[4] = static_cast<std::uint8_t>(Command::Read);
    m[5] = engine::ReadReplyFormat;
    m[6] = engine::ReadFixed;
    // Bytes 7 and 8 are not interpreted by the host; the device sends zeros.
    engine::putSeptet14(n, &m[9]);
    engine::packBytes(&m[11], data.data(), n);
    engine::putSeptet32(engine::dataCrc(data.data(), static_cast<std::uint32_t>(n)),
                        &m[11 + static_cast<std::size_t>(packed)]);
    m.back() = SysexEnd;
    return m;
}

std::array<std::uint8_t, 4> fourChars(std::string_view text) {
    std::array<std::uint8_t, 4> out{' ', ' ', ' ', ' '};
    for (std::size_t i = 0; i < out.size() && i < text.size(); ++i)
        out[i] = static_cast<std::uint8_t>(text[i]);
    return out;
}

Bytes chatterMessage(ChatterKind kind, std::uint8_t model) {
    if (kind == ChatterKind::IdentityRequest)
        return {SysexStart,         UniversalNonRealTime, 0x00,
                GeneralInformation, IdentityRequestId,    SysexEnd};
    std::uint8_t command = 0x33;
    switch (kind) {
        case ChatterKind::Command01:
            command = 0x01;
            break;
        case ChatterKind::Command03:
            command = 0x03;
            break;
        case ChatterKind::Command04:
            command = 0x04;
            break;
        case ChatterKind::Command05:
            command = 0x05;
            break;
        default:
            break;
    }
    return {SysexStart, ManufacturerId, 0x00, static_cast<std::uint8_t>(model & 0x7F),
            command,    SysexEnd};
}

}  // namespace q4m::sim
