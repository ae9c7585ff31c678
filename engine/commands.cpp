#include "engine/commands.h"

#include "engine/codec.h"

namespace q4m::engine {

namespace {

// clang-format off
constexpr std::uint8_t IdentityRequest[6] = {
    SysexStart, UniversalNonRealTime, 0x00, GeneralInformation, IdentityRequestId, SysexEnd};

constexpr std::uint8_t IdentityReplyTemplate[15] = {
    SysexStart, UniversalNonRealTime, 0x00, GeneralInformation, IdentityReplyId, ManufacturerId,
    0x00, 0x00, 0x00, 0x00,  // identity bytes, set by setReplyIdentity
    '1', '0', '0', '0',      // software revision
    SysexEnd};
// clang-format on
constexpr int IdentityOffset = 6;

// Everything between F0 and F7 must be a data byte. The model byte and the
// identity bytes come from the device's IdentityReply, which is not
// trustworthy input, so a stray top bit is cleared rather than sent.
constexpr std::uint8_t dataByte(std::uint8_t b) {
    return b & 0x7F;
}

// Header of a maker-specific message: F0 7D 00 model command.
std::uint8_t* putHeader(std::uint8_t* out, std::uint8_t modelByte, Command command) {
    out[0] = SysexStart;
    out[1] = ManufacturerId;
    out[2] = 0x00;
    out[3] = dataByte(modelByte);
    out[4] = static_cast<std::uint8_t>(command);
    return out + 5;
}

}  // namespace

CommandSet::CommandSet(SysexSender& sender)
    : sender_(sender),
      sendBuffer_(new std::uint8_t[SendBufferSize]()),
      identityReply_(std::to_array(IdentityReplyTemplate)) {}

int CommandSet::sendIdentityRequest() {
    std::lock_guard lock(sendMutex_);
    return sender_.sendSysex(IdentityRequest, sizeof IdentityRequest);
}

int CommandSet::sendIdentityReply() {
    std::lock_guard lock(sendMutex_);
    return sender_.sendSysex(identityReply_.data(), identityReply_.size());
}

int CommandSet::sendAck() {
    return sendFixed(Command::Status, 7, 0x00);
}

int CommandSet::sendNak(std::uint8_t code) {
    return sendFixed(Command::Status, 7, code);
}

int CommandSet::sendBeginUpdate() {
    return sendFixed(Command::BeginUpdate, 6, 0);
}

int CommandSet::sendEndUpdate() {
    return sendFixed(Command::EndUpdate, 6, 0);
}

int CommandSet::sendFixed(Command command, std::int32_t length, std::uint8_t status) {
    std::lock_guard lock(sendMutex_);
    std::uint8_t* out = putHeader(sendBuffer_.get(), activeIdentity_[0], command);
    if (length == 7) *out++ = dataByte(status);
    *out = SysexEnd;
    return sender_.sendSysex(sendBuffer_.get(), static_cast<std::uint32_t>(length));
}

int CommandSet::sendWriteBlock(std::uint8_t modelByte, const std::uint8_t* data,
                               std::int32_t address, std::int32_t length) {
    // The length field holds 14 bits: a longer block would go out with a wrong
    // length (and, past the SendBuffer, not at all), so it is refused unsent.
    if (length < 0 || length > MaxBlockLength || (length > 0 && data == nullptr)) return -1;

    std::lock_guard lock(sendMutex_);
    std::uint8_t* const begin = sendBuffer_.get();
    std::uint8_t* out = putHeader(begin, modelByte, Command::WriteBlock);
    putSeptet32(static_cast<std::uint32_t>(address), out);
    putSeptet14(length, out + 5);
    out += 7;
    // Packed straight into the SendBuffer; the CRC is over the caller's raw bytes.
    out += packBytes(out, data, length);
    putSeptet32(dataCrc(data, static_cast<std::uint32_t>(length)), out);
    out += 5;
    *out++ = SysexEnd;
    return sender_.sendSysex(begin, static_cast<std::uint32_t>(out - begin));
}

int CommandSet::sendErase(std::uint8_t modelByte, std::int32_t address, std::int32_t size) {
    std::lock_guard lock(sendMutex_);
    std::uint8_t* const begin = sendBuffer_.get();
    std::uint8_t* out = putHeader(begin, modelByte, Command::Erase);
    putSeptet32(static_cast<std::uint32_t>(address), out);
    putSeptet32(static_cast<std::uint32_t>(size), out + 5);
    out[10] = SysexEnd;
    return sender_.sendSysex(begin, 16);
}

int CommandSet::sendReadRequest(std::uint32_t address, std::uint32_t length) {
    std::lock_guard lock(sendMutex_);
    std::uint8_t* const begin = sendBuffer_.get();
    std::uint8_t* out = putHeader(begin, activeIdentity_[0], Command::Read);
    out[0] = ReadFixed;
    putSeptet32(address, out + 1);
    putSeptet32(length, out + 6);
    out[11] = SysexEnd;
    return sender_.sendSysex(begin, 17);
}

void CommandSet::setReplyIdentity(const DeviceIdentity& identity) {
    // Under the send lock, so a reply being sent carries all old or all new bytes.
    std::lock_guard lock(sendMutex_);
    for (std::size_t i = 0; i < identity.size(); ++i)
        identityReply_[IdentityOffset + i] = dataByte(identity[i]);
}

DeviceIdentity CommandSet::replyIdentity() const {
    std::lock_guard lock(sendMutex_);
    DeviceIdentity identity{};
    for (std::size_t i = 0; i < identity.size(); ++i)
        identity[i] = identityReply_[IdentityOffset + i];
    return identity;
}

void CommandSet::setActiveIdentity(const DeviceIdentity& identity) {
    std::lock_guard lock(sendMutex_);
    activeIdentity_ = identity;
}

DeviceIdentity CommandSet::activeIdentity() const {
    std::lock_guard lock(sendMutex_);
    return activeIdentity_;
}

}  // namespace q4m::engine
