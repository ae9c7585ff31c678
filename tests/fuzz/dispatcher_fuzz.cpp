// What the device sends, in arbitrary pieces, through the input port (and the
// ALSA SysEx joiner, or straight as the platform's buffers) into the reply
// dispatcher. After every message the effects are compared with a model of
// the dispatcher's action table written here from scratch: the reply it
// records, the status, the identity, the read-back bytes and fill count, and
// the automatic answer it sends. Any difference aborts with a description.
//
// Input: the stream of device bytes at the front; the run's parameters are
// taken from the back (FuzzedDataProvider), so a seed may be a plain stream.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "engine/dispatcher.h"
#include "engine/engine.h"
#include "midi/alsa/sysex_joiner.h"
#include "midi/in_port.h"
#include "tests/fuzz/reference.h"

namespace {

using q4m::engine::DeviceIdentity;
using q4m::engine::Reply;
using q4m::engine::ReplyKind;
using q4m::fuzz::Bytes;
namespace ref = q4m::fuzz::ref;
namespace midi = q4m::midi;

[[noreturn]] void failed(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("dispatcher fuzz: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

#define EXPECT(cond, ...)                 \
    do {                                  \
        if (!(cond)) failed(__VA_ARGS__); \
    } while (0)

// The input side of a platform MIDI service: one device whose bytes the
// harness delivers. With a joiner it fills the lent buffers as the ALSA
// backend does; without, each piece comes back as one buffer, as a platform
// that returns whatever it received.
class FuzzMidiService final : public midi::MidiService {
  public:
    void setCapacity(std::uint32_t capacity) { capacity_ = capacity; }

    void deliverJoined(std::span<const std::uint8_t> piece) {
        while (!piece.empty() && started_ && !buffers_.empty()) {
            midi::MidiHeader* buffer = buffers_.front();
            const std::uint32_t room = std::min(buffer->bufferLength, capacity_);
            const auto step = joiner_.feed(piece, {buffer->data, room}, buffer->bytesRecorded);
            piece = piece.subspan(step.consumed);
            if (step.bufferReady) giveBack();
        }
    }

    void deliverRaw(std::span<const std::uint8_t> piece) {
        if (!started_ || buffers_.empty()) return;
        midi::MidiHeader* buffer = buffers_.front();
        const auto n = std::min<std::size_t>(piece.size(), buffer->bufferLength);
        std::copy_n(piece.begin(), n, buffer->data);
        buffer->bytesRecorded = static_cast<std::uint32_t>(n);
        giveBack();
    }

    int inDeviceCount() override { return 1; }
    midi::MmResult inDeviceName(int, std::string& name) override {
        name = "fuzz";
        return midi::MmOk;
    }
    midi::MmResult inOpen(midi::MidiHandle* handle, int, midi::MidiInCallback callback,
                          std::uintptr_t instance) override {
        callback_ = callback;
        instance_ = instance;
        *handle = this;
        return midi::MmOk;
    }
    midi::MmResult inPrepareHeader(midi::MidiHandle, midi::MidiHeader* header) override {
        header->flags.fetch_or(midi::MhdrPrepared);
        return midi::MmOk;
    }
    midi::MmResult inUnprepareHeader(midi::MidiHandle, midi::MidiHeader* header) override {
        header->flags.fetch_and(~midi::MhdrPrepared);
        return midi::MmOk;
    }
    midi::MmResult inAddBuffer(midi::MidiHandle, midi::MidiHeader* header) override {
        header->bytesRecorded = 0;
        header->flags.store((header->flags.load() & ~midi::MhdrDone) | midi::MhdrInQueue);
        buffers_.push_back(header);
        return midi::MmOk;
    }
    midi::MmResult inStart(midi::MidiHandle) override {
        started_ = true;
        return midi::MmOk;
    }
    midi::MmResult inStop(midi::MidiHandle) override {
        started_ = false;
        return midi::MmOk;
    }
    midi::MmResult inReset(midi::MidiHandle) override {
        started_ = false;
        joiner_.reset();
        while (!buffers_.empty()) {
            buffers_.front()->bytesRecorded = 0;
            giveBack();
        }
        return midi::MmOk;
    }
    midi::MmResult inClose(midi::MidiHandle) override { return midi::MmOk; }

    int outDeviceCount() override { return 0; }
    midi::MmResult outDeviceName(int, std::string&) override { return midi::MmBadDeviceId; }
    midi::MmResult outOpen(midi::MidiHandle*, int) override { return midi::MmBadDeviceId; }
    midi::MmResult outClose(midi::MidiHandle) override { return midi::MmOk; }
    midi::MmResult outPrepareHeader(midi::MidiHandle, midi::MidiHeader*) override {
        return midi::MmOk;
    }
    midi::MmResult outUnprepareHeader(midi::MidiHandle, midi::MidiHeader*) override {
        return midi::MmOk;
    }
    midi::MmResult outLongMsg(midi::MidiHandle, midi::MidiHeader*) override {
        return midi::MmError;
    }
    midi::MmResult outReset(midi::MidiHandle) override { return midi::MmOk; }
    std::string errorText(midi::MmResult) override { return {}; }

  private:
    void giveBack() {
        midi::MidiHeader* buffer = buffers_.front();
        buffers_.pop_front();
        buffer->flags.store((buffer->flags.load() & ~midi::MhdrInQueue) | midi::MhdrDone);
        callback_(this, midi::MimLongData, instance_, reinterpret_cast<std::uintptr_t>(buffer), 0);
    }

    midi::MidiInCallback callback_ = nullptr;
    std::uintptr_t instance_ = 0;
    std::deque<midi::MidiHeader*> buffers_;
    midi::alsa::SysexJoiner joiner_;
    std::uint32_t capacity_ = midi::MidiInPort::ReceiveBufferSize;
    bool started_ = false;
};

class NullView final : public q4m::engine::UpdateView {
  public:
    void setStatusText(std::string_view) override {}
    void setStepText(std::string_view) override {}
    void setProgressRange(int, int) override {}
    void setProgressPos(int) override {}
    void showError(q4m::engine::StringId) override {}
    void endBusy() override {}
    void enableExecute(bool) override {}
};

// The engine's owner: hands the dispatcher one queued message per pass, so
// that each message's effects can be checked on their own, and keeps what
// the dispatcher sends.
class Host final : public q4m::engine::EngineHost {
  public:
    int sendSysex(const std::uint8_t* bytes, std::uint32_t length) override {
        sent.emplace_back(bytes, bytes + length);
        return 0;
    }
    std::span<const std::uint8_t> frontMessage() override {
        if (!port || !gateOpen) return {};
        return port->frontMessage();
    }
    void popMessage() override {
        gateOpen = false;
        port->popMessage();
    }
    q4m::engine::UpdateView& view() override { return view_; }

    midi::MidiInPort* port = nullptr;
    bool gateOpen = false;
    std::vector<Bytes> sent;

  private:
    NullView view_;
};

struct World {
    Host host;
    q4m::engine::Engine engine{host};
};

World& world() {
    static World* w = new World;  // the 5.8 MB read-back buffer is made once
    return *w;
}

// What one message must do, by the dispatcher's action table.
struct Expected {
    std::optional<Reply> reply;
    std::int32_t status = 0;  // ReplyStatus afterwards
    DeviceIdentity identity{};
    std::int32_t fill = 0;
    std::optional<Bytes> answer;  // the automatic answer sent
    Bytes decoded;                // ReadReply data decoded at the old fill count
};

Bytes statusAnswer(std::uint8_t model, std::uint8_t code) {
    return {0xF0, 0x7D, 0x00, static_cast<std::uint8_t>(model & 0x7F), 0x00, code, 0xF7};
}

Expected model(const Bytes& m, std::int32_t status, const DeviceIdentity& identity,
               std::int32_t fill, std::uint8_t modelByte, const DeviceIdentity& replyIdentity) {
    Expected e;
    e.status = status;
    e.identity = identity;
    e.fill = fill;
    const auto n = m.size();
    if (n < 2 || m[0] != 0xF0) return e;
    if (m[1] == 0x7D) {
        if (n < 5) return e;
        switch (m[4]) {
            case 0x00:
                if (n >= 6 && m[5] < 0x80) {
                    e.status = m[5];
                    e.reply = Reply{ReplyKind::Status, m[5]};
                }
                return e;
            case 0x01:
            case 0x04:
            case 0x05:
                e.answer = statusAnswer(modelByte, 0x00);
                return e;
            case 0x02:
                e.status = 0;
                e.reply = Reply{ReplyKind::Status, 0};
                return e;
            case 0x03:
                return e;
            case 0x60:
                break;
            default:
                e.answer = statusAnswer(modelByte, 0x01);
                return e;
        }
        // ReadReply. Another format: signalled, status as it was, never verified.
        if (n > 5 && m[5] != 0x04) {
            e.reply = Reply{ReplyKind::Read, 1, {}, -1, 0};
            return e;
        }
        e.status = 1;
        e.reply = Reply{ReplyKind::Read, 1, {}, -1, 0};
        if (n < 11 || m[6] != 0x30 || m[9] >= 0x80 || m[10] >= 0x80) return e;
        const std::int32_t count = m[9] | m[10] << 7;
        const std::size_t packed = ref::packedLength(count);
        if (n < 11 + packed + 5) return e;
        e.reply->readLength = count;
        e.reply->readOffset = fill;
        if (count > q4m::engine::ReadBackBuffer::Size - fill) return e;
        e.decoded = ref::unpack(std::span(m).subspan(11, packed));
        if (e.decoded.size() != static_cast<std::size_t>(count))
            failed("reference unpack gave %zu bytes for %d", e.decoded.size(), count);
        if (ref::crc(e.decoded) == ref::septet32(&m[11 + packed])) {
            e.status = 0;
            e.reply->status = 0;
            e.fill = fill + count;
        }
        return e;
    }
    if (m[1] == 0x7E) {
        if (n < 5 || m[3] != 0x06) return e;
        if (m[4] == 0x01) {
            Bytes reply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D};
            for (auto b : replyIdentity) reply.push_back(b & 0x7F);
            reply.insert(reply.end(), {0x31, 0x30, 0x30, 0x30, 0xF7});
            e.answer = reply;
        } else if (m[4] == 0x02) {
            if (n < 10) return e;
            e.status = 0;
            e.identity = {m[6], m[7], m[8], m[9]};
            e.reply = Reply{ReplyKind::Identity, 0, e.identity};
        } else {
            e.answer = statusAnswer(modelByte, 0x01);
        }
    }
    return e;
}

std::string hex(const Bytes& bytes, std::size_t limit = 24) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        std::snprintf(b, sizeof b, "%02X ", bytes[i]);
        s += b;
    }
    if (bytes.size() > limit) s += "...";
    return s;
}

void checkOne(q4m::engine::Engine& engine, Host& host, const Bytes& m, std::uint8_t modelByte,
              const DeviceIdentity& replyIdentity) {
    auto& slot = engine.reply;
    const std::int32_t fill = engine.readBack.fill();
    const Expected e =
        model(m, slot.status(), slot.deviceIdentity(), fill, modelByte, replyIdentity);
    // The byte after the decoded data must stay as it was.
    const std::int32_t guardAt = fill + static_cast<std::int32_t>(e.decoded.size());
    std::uint8_t guardBefore = 0;
    if (guardAt < q4m::engine::ReadBackBuffer::Size)
        engine.readBack.copyOut(guardAt, &guardBefore, 1);

    host.sent.clear();
    host.gateOpen = true;
    q4m::engine::dispatchReplies(engine);
    EXPECT(!host.gateOpen, "message not taken: %s", hex(m).c_str());

    const std::string what = hex(m);
    const char* msg = what.c_str();
    EXPECT(slot.status() == e.status, "status %d, expected %d after %s", slot.status(), e.status,
           msg);
    EXPECT(slot.deviceIdentity() == e.identity, "identity changed wrongly after %s", msg);
    EXPECT(engine.readBack.fill() == e.fill, "fill %d, expected %d after %s",
           engine.readBack.fill(), e.fill, msg);
    EXPECT(slot.eventIsSet() == e.reply.has_value(), "event %d, expected %d after %s",
           slot.eventIsSet(), e.reply.has_value(), msg);
    const auto got = slot.take();
    EXPECT(got.has_value() == e.reply.has_value(), "reply recorded %d, expected %d after %s",
           got.has_value(), e.reply.has_value(), msg);
    if (got) {
        const Reply& r = *got;
        const Reply& x = *e.reply;
        EXPECT(r.kind == x.kind && r.status == x.status,
               "reply kind %d status %d, expected %d %d after %s", static_cast<int>(r.kind),
               r.status, static_cast<int>(x.kind), x.status, msg);
        if (x.kind == ReplyKind::Identity)
            EXPECT(r.identity == x.identity, "reply identity wrong after %s", msg);
        if (x.kind == ReplyKind::Read) {
            EXPECT(r.readLength == x.readLength, "readLength %d, expected %d after %s",
                   r.readLength, x.readLength, msg);
            if (x.readLength >= 0)
                EXPECT(r.readOffset == x.readOffset, "readOffset %d, expected %d after %s",
                       r.readOffset, x.readOffset, msg);
        }
    }
    EXPECT(!slot.take(), "more than one reply recorded for %s", msg);
    slot.resetEvent();

    if (!e.decoded.empty()) {
        Bytes at(e.decoded.size());
        engine.readBack.copyOut(fill, at.data(), static_cast<std::int32_t>(at.size()));
        EXPECT(at == e.decoded, "decoded bytes differ after %s", msg);
    }
    if (guardAt < q4m::engine::ReadBackBuffer::Size) {
        std::uint8_t guardAfter = 0;
        engine.readBack.copyOut(guardAt, &guardAfter, 1);
        EXPECT(guardAfter == guardBefore, "byte after the decoded data changed: %s", msg);
    }

    EXPECT(host.sent.size() == (e.answer ? 1u : 0u), "%zu answers sent, expected %d for %s",
           host.sent.size(), e.answer ? 1 : 0, msg);
    if (e.answer)
        EXPECT(host.sent[0] == *e.answer, "answer %s, expected %s for %s",
               hex(host.sent[0]).c_str(), hex(*e.answer).c_str(), msg);
}

// Splits a stream into the entries the joiner must return for it, whatever
// pieces it arrives in: SysEx bytes only, one message per buffer, a buffer
// returned when full, an unfinished message cut at any other status byte.
std::deque<Bytes> joinedEntries(std::span<const std::uint8_t> stream, std::size_t capacity) {
    std::deque<Bytes> out;
    Bytes current;
    bool inMessage = false;
    auto emit = [&] {
        if (!current.empty()) out.push_back(std::move(current));
        current.clear();
    };
    for (std::uint8_t b : stream) {
        if (b >= 0xF8) continue;
        if (b == 0xF0) {
            emit();
            inMessage = true;
            current.push_back(b);
        } else if (!inMessage) {
            continue;
        } else if (b >= 0x80 && b != 0xF7) {
            inMessage = false;
            emit();
            continue;
        } else {
            current.push_back(b);
            if (b == 0xF7) {
                inMessage = false;
                emit();
                continue;
            }
        }
        if (current.size() == capacity) emit();
    }
    return out;  // an unfinished last message stays in the buffer, unreturned
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider params(data, size);
    const bool raw = params.ConsumeBool();
    const std::uint8_t capacityChoice = params.ConsumeIntegral<std::uint8_t>();
    const std::uint8_t modelByte = params.ConsumeIntegral<std::uint8_t>();
    DeviceIdentity replyIdentity{};
    for (auto& b : replyIdentity) b = params.ConsumeIntegral<std::uint8_t>();
    const std::uint16_t fillChoice = params.ConsumeIntegral<std::uint16_t>();
    std::uint32_t pieceRandom = params.ConsumeIntegral<std::uint32_t>() | 1;
    const Bytes stream = params.ConsumeRemainingBytes<std::uint8_t>();

    // Mostly the port's whole buffer; sometimes a small one, so that messages
    // longer than a buffer (and their later pieces) come up often.
    const std::uint32_t capacity =
        capacityChoice < 192 ? midi::MidiInPort::ReceiveBufferSize : 2u + (capacityChoice & 63u);
    const std::int32_t fill =
        fillChoice < 0xF000 ? 0 : q4m::engine::ReadBackBuffer::Size - (fillChoice & 0xFFF);

    World& w = world();
    auto& engine = w.engine;
    engine.reply.recordIdentity({0, 0, 0, 0});
    engine.reply.resetEvent();
    engine.commands.setActiveIdentity({modelByte, 0, 0, 0});
    engine.commands.setReplyIdentity(replyIdentity);
    engine.readBack.withLocked([fill](std::uint8_t*, std::int32_t& f) { f = fill; });

    FuzzMidiService service;
    service.setCapacity(capacity);
    midi::MidiInPort port(service);
    if (port.start() != 1) failed("the port did not start");
    w.host.port = &port;

    std::deque<Bytes> expectedEntries;
    if (!raw) expectedEntries = joinedEntries(stream, capacity);

    std::span<const std::uint8_t> rest(stream);
    while (!rest.empty()) {
        pieceRandom ^= pieceRandom << 13;
        pieceRandom ^= pieceRandom >> 17;
        pieceRandom ^= pieceRandom << 5;
        // Mostly short pieces, now and then a long one (a sequencer event, a
        // raw read of everything pending).
        const std::size_t want = (pieceRandom & 0xF00) == 0 ? rest.size() : 1 + pieceRandom % 40;
        const auto piece = rest.first(std::min(want, rest.size()));
        rest = rest.subspan(piece.size());
        if (raw)
            service.deliverRaw(piece);
        else
            service.deliverJoined(piece);

        for (;;) {
            const auto front = port.frontMessage();
            if (front.empty()) break;
            const Bytes entry(front.begin(), front.end());
            if (raw) {
                const auto kept =
                    std::min<std::size_t>(piece.size(), midi::MidiInPort::ReceiveBufferSize);
                EXPECT(entry == Bytes(piece.begin(), piece.begin() + kept), "raw entry differs");
            } else {
                EXPECT(!expectedEntries.empty(), "unexpected entry %s", hex(entry).c_str());
                EXPECT(entry == expectedEntries.front(), "entry %s, expected %s",
                       hex(entry).c_str(), hex(expectedEntries.front()).c_str());
                expectedEntries.pop_front();
            }
            checkOne(engine, w.host, entry, modelByte, replyIdentity);
        }
    }
    EXPECT(expectedEntries.empty(), "%zu entries never returned", expectedEntries.size());
    port.stop();
    w.host.port = nullptr;
    return 0;
}
