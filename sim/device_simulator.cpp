#include "sim/device_simulator.h"

#include <algorithm>

#include "engine/codec.h"
#include "engine/commands.h"

namespace q4m::sim {

using engine::Command;
using Direction = TranscriptEntry::Direction;

namespace {

// A uniform draw in [0, 1) from the top 53 bits: the same on every standard
// library, which the distributions of <random> are not.
double unitDraw(std::mt19937_64& random) {
    return static_cast<double>(random() >> 11) * 0x1.0p-53;
}

bool isWellFormedSysex(std::span<const std::uint8_t> m) {
    if (m.size() < 2 || m.front() != SysexStart || m.back() != SysexEnd) return false;
    return std::all_of(m.begin() + 1, m.end() - 1, [](std::uint8_t b) { return b < 0x80; });
}

}  // namespace

// One maker-specific request the device carries out. The two "resent" flags
// say what the updater does when the request fails; the Recoverable fault
// scope injects only the failures it recovers from.
struct DeviceSimulator::Request {
    Command command;
    std::size_t length;  // exact message length; 0 when it depends on the content
    void (DeviceSimulator::*handler)(std::span<const std::uint8_t>, std::uint8_t);
    bool resentWhenUnanswered;
    bool resentOnError;
};

const DeviceSimulator::Request* DeviceSimulator::findRequest(std::uint8_t command) {
    static const Request requests[] = {
        {Command::BeginUpdate, 6, &DeviceSimulator::onBeginUpdate, false, false},
        {Command::WriteBlock, 0, &DeviceSimulator::onWriteBlock, true, true},
        {Command::EndUpdate, 6, &DeviceSimulator::onEndUpdate, false, false},
        {Command::Erase, 16, &DeviceSimulator::onErase, false, true},
        {Command::Read, 17, &DeviceSimulator::onRead, false, false},
    };
    for (const auto& r : requests)
        if (static_cast<std::uint8_t>(r.command) == command) return &r;
    return nullptr;
}

DeviceSimulator::DeviceSimulator(SimConfig config)
    : config_(std::move(config)),
      faultRandom_(config_.seed),
      chatterRandom_(config_.seed ^ 0x9E3779B97F4A7C15ull),
      lateRandom_(config_.seed ^ 0xD1B54A32D192ED03ull),
      outbox_(config_.latency, [this](const Bytes& m) { record(Direction::ToHost, m, false); }) {
    writeBootStamp(config_.bootStamp);
}

DeviceSimulator::~DeviceSimulator() {
    if (detach_) detach_();
}

void DeviceSimulator::setSender(Sender sender) {
    outbox_.setSender(std::move(sender));
}

bool DeviceSimulator::waitIdle(std::chrono::milliseconds limit) {
    return outbox_.waitIdle(limit);
}

void DeviceSimulator::receive(std::span<const std::uint8_t> message) {
    {
        std::lock_guard lock(mutex_);
        const int number = ++counters_.messagesReceived;
        const bool dead = config_.powerCutAfter > 0 && number > config_.powerCutAfter;
        record(Direction::ToDevice, Bytes(message.begin(), message.end()), dead);
        if (dead) {
            ++counters_.messagesIgnored;
            return;
        }
        handle(message);
        if (number == config_.powerCutAfter) counters_.powerCut = true;
    }
    outbox_.pump();
}

void DeviceSimulator::handle(std::span<const std::uint8_t> m) {
    if (m.size() >= 5 && m[0] == SysexStart && m[1] == engine::ManufacturerId) {
        handleMaker(m);
    } else if (m.size() == 6 && isWellFormedSysex(m) && m[1] == UniversalNonRealTime &&
               m[3] == GeneralInformation && m[4] == IdentityRequestId) {
        handleIdentityRequest();
    } else {
        // Among them the host's IdentityReply, its answer to our chatter.
        ++counters_.messagesIgnored;
    }
}

void DeviceSimulator::handleIdentityRequest() {
    ++counters_.requestsHandled;
    bool chatterFirst = false;
    auto chatter = planChatter(&chatterFirst);
    if (chatter && chatterFirst) outbox_.post(*chatter);

    // Same three draws as a maker request (nothing to damage here).
    const bool scopeAll = config_.faultScope == FaultScope::AllRequests;
    chance(config_.corruptProbability);
    const bool error = chance(config_.errorProbability) && scopeAll;
    dropThis_ = chance(config_.dropProbability) && scopeAll;
    drawLate();
    if (error) {
        ++counters_.injectedErrors;
        replyStatus(static_cast<Status>(config_.injectedErrorStatus), config_.identity[0], true);
    } else {
        reply(identityReply(config_.identity, fourChars(config_.revision)), true);
    }
    if (chatter && !chatterFirst) outbox_.post(*chatter);
}

void DeviceSimulator::handleMaker(std::span<const std::uint8_t> m) {
    const std::uint8_t command = m[4];
    // The host's ACK and NAK (its answers to our chatter) need nothing from us,
    // and a message addressed to another model is not ours to answer.
    if (command == static_cast<std::uint8_t>(Command::Status) ||
        (config_.checkModelByte && m[3] != config_.identity[0])) {
        ++counters_.messagesIgnored;
        return;
    }
    if (const Request* request = findRequest(command)) {
        handleRequest(*request, m);
    } else {
        // The host never sends other commands; answer as the host itself would.
        dropThis_ = false;
        lateThis_ = false;
        replyStatus(Status::Nak, config_.identity[0], false);
    }
}

void DeviceSimulator::handleRequest(const Request& request, std::span<const std::uint8_t> m) {
    const std::uint8_t model = config_.identity[0];
    ++counters_.requestsHandled;
    bool chatterFirst = false;
    auto chatter = planChatter(&chatterFirst);
    if (chatter && chatterFirst) outbox_.post(*chatter);

    // Three draws per request whatever the probabilities, so that one seed
    // gives one fault pattern for one message sequence.
    const bool scopeAll = config_.faultScope == FaultScope::AllRequests;
    const bool corrupt =
        chance(config_.corruptProbability) && request.command == Command::WriteBlock;
    const bool error = chance(config_.errorProbability) && (scopeAll || request.resentOnError);
    dropThis_ = chance(config_.dropProbability) && (scopeAll || request.resentWhenUnanswered);
    drawLate();

    Bytes damaged;
    if (error) {
        ++counters_.injectedErrors;
        replyStatus(static_cast<Status>(config_.injectedErrorStatus), model, true);
    } else if (!isWellFormedSysex(m) || (request.length != 0 && m.size() != request.length)) {
        replyStatus(Status::Malformed, model, true);
    } else {
        if (corrupt && m.size() >= 18) {
            // Flip one bit of the packed data or the CRC: bit 0 of a data or CRC
            // byte, or in a flag byte the bit of its group's first data byte, so
            // the damage always reaches the raw data or the CRC.
            damaged.assign(m.begin(), m.end());
            const std::size_t index =
                12 + static_cast<std::size_t>(faultRandom_() % (m.size() - 13));
            const bool flagByte = index < m.size() - 6 && (index - 12) % 8 == 0;
            damaged[index] ^= flagByte ? 0x40 : 0x01;
            ++counters_.blocksCorrupted;
            m = damaged;
        }
        (this->*request.handler)(m, model);
    }
    if (chatter && !chatterFirst) outbox_.post(*chatter);
}

void DeviceSimulator::onBeginUpdate(std::span<const std::uint8_t>, std::uint8_t model) {
    if (!config_.updateMode) return replyStatus(Status::NotUpdateMode, model, true);
    updating_ = true;
    replyStatus(Status::Ok, model, true);
}

void DeviceSimulator::onEndUpdate(std::span<const std::uint8_t>, std::uint8_t model) {
    // Acknowledged in every state: ending is harmless, and the host counts any reply.
    updating_ = false;
    replyStatus(Status::Ok, model, true);
}

void DeviceSimulator::onWriteBlock(std::span<const std::uint8_t> m, std::uint8_t model) {
    if (!config_.updateMode) return replyStatus(Status::NotUpdateMode, model, true);
    if (!updating_) return replyStatus(Status::NotBegun, model, true);
    if (m.size() < 18) return replyStatus(Status::Malformed, model, true);
    const std::int32_t n = engine::getSeptet14(&m[10]);
    const std::int32_t packed = engine::packedLength(n);
    if (m.size() != static_cast<std::size_t>(packed) + 18)
        return replyStatus(Status::Malformed, model, true);
    Bytes data(static_cast<std::size_t>(engine::unpackedLength(packed)));
    engine::unpackBytes(data.data(), &m[12], packed);
    data.resize(static_cast<std::size_t>(n));
    const std::uint32_t crc = engine::getSeptet32(&m[12 + static_cast<std::size_t>(packed)]);
    if (engine::dataCrc(data.data(), static_cast<std::uint32_t>(n)) != crc) {
        ++counters_.crcFailures;
        return replyStatus(Status::CrcMismatch, model, true);
    }
    bool clean = true;
    if (!flash_.program(engine::getSeptet32(&m[5]), data, &clean))
        return replyStatus(Status::OutOfRange, model, true);
    ++counters_.blocksWritten;
    if (!clean) ++counters_.blocksOverUnerased;
    replyStatus(Status::Ok, model, true);
}

void DeviceSimulator::onErase(std::span<const std::uint8_t> m, std::uint8_t model) {
    if (!config_.updateMode) return replyStatus(Status::NotUpdateMode, model, true);
    if (!updating_) return replyStatus(Status::NotBegun, model, true);
    if (!flash_.erase(engine::getSeptet32(&m[5]), engine::getSeptet32(&m[10])))
        return replyStatus(Status::OutOfRange, model, true);
    ++counters_.erases;
    replyStatus(Status::Ok, model, true);
}

// Reads need no update mode: the device can always show what its flash holds.
void DeviceSimulator::onRead(std::span<const std::uint8_t> m, std::uint8_t model) {
    if (m[5] != 0x30) return replyStatus(Status::Malformed, model, true);
    Bytes data;
    if (!flash_.read(engine::getSeptet32(&m[6]), engine::getSeptet32(&m[11]), data))
        return replyStatus(Status::OutOfRange, model, true);
    ++counters_.reads;
    // At most 16383 bytes per reply; a read of 0 bytes still gets its empty reply.
    std::size_t offset = 0;
    do {
        const std::size_t count = std::min<std::size_t>(MaxReadReplyData, data.size() - offset);
        reply(readReply(model, std::span(data).subspan(offset, count)), true);
        offset += count;
    } while (offset < data.size());
}

void DeviceSimulator::replyStatus(Status status, std::uint8_t model, bool mayDrop) {
    if (status != Status::Ok) ++counters_.errorReplies;
    reply(statusMessage(model, static_cast<std::uint8_t>(status)), mayDrop);
}

void DeviceSimulator::reply(Bytes message, bool mayDrop) {
    if (mayDrop && dropThis_) {
        ++counters_.repliesDropped;
        record(Direction::ToHost, message, true);
        return;
    }
    if (lateThis_) {
        ++counters_.repliesLate;
        lateThis_ = false;  // one late reply per request: a read's later pieces follow it
        outbox_.post(std::move(message), config_.lateDelay);
        return;
    }
    outbox_.post(std::move(message));
}

void DeviceSimulator::drawLate() {
    lateThis_ = config_.lateProbability > 0 && unitDraw(lateRandom_) < config_.lateProbability;
}

bool DeviceSimulator::chance(double probability) {
    return unitDraw(faultRandom_) < probability;
}

// Chatter has a random stream of its own, so turning it on leaves the fault
// pattern of a seed unchanged.
std::optional<Bytes> DeviceSimulator::planChatter(bool* before) {
    if (!config_.chatter || unitDraw(chatterRandom_) >= config_.chatterRate) return std::nullopt;
    const auto kind = AllChatterKinds[chatterRandom_() % AllChatterKinds.size()];
    *before = (chatterRandom_() & 1) != 0;
    ++counters_.chatterSent;
    return chatterMessage(kind, config_.identity[0]);
}

void DeviceSimulator::record(Direction direction, const Bytes& bytes, bool lost) {
    if (!config_.recordTranscript) return;
    std::lock_guard lock(transcriptMutex_);
    transcript_.push_back({std::chrono::steady_clock::now(), direction, bytes, lost});
}

std::vector<std::uint8_t> DeviceSimulator::flashCopy() const {
    std::lock_guard lock(mutex_);
    return flash_.bytes();
}

void DeviceSimulator::setFlash(std::span<const std::uint8_t> image) {
    std::lock_guard lock(mutex_);
    flash_.assign(image);
}

bool DeviceSimulator::loadFlash(const std::string& path, std::string* error) {
    std::lock_guard lock(mutex_);
    return flash_.load(path, error);
}

bool DeviceSimulator::saveFlash(const std::string& path, std::string* error) const {
    std::lock_guard lock(mutex_);
    return flash_.save(path, error);
}

void DeviceSimulator::writeBootStamp(std::string_view stamp) {
    const auto chars = fourChars(stamp);
    std::lock_guard lock(mutex_);
    flash_.overwrite(BootStampAddress, chars);
}

std::vector<TranscriptEntry> DeviceSimulator::transcript() const {
    std::lock_guard lock(transcriptMutex_);
    return transcript_;
}

SimCounters DeviceSimulator::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

bool DeviceSimulator::updating() const {
    std::lock_guard lock(mutex_);
    return updating_;
}

}  // namespace q4m::sim
