// The reply dispatcher as the product runs it: device messages arrive through
// the virtual service and the input port's queue, the poll timer dispatches
// them, and automatic answers leave through the real output port.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "app/updater_session.h"
#include "midi/portable/portable_timer.h"
#include "midi/virtual/virtual_midi.h"
#include "tests/engine/fake_host.h"

namespace q4m::app::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Collects what the host sends to the device.
class Peer {
  public:
    void add(std::span<const std::uint8_t> m) {
        std::lock_guard lock(mutex_);
        got_.emplace_back(m.begin(), m.end());
    }
    std::vector<Bytes> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(got_, {});
    }

  private:
    std::mutex mutex_;
    std::vector<Bytes> got_;
};

struct Rig {
    // The trace goes in before polling starts, as the session requires.
    explicit Rig(UpdaterSession::TraceFn trace = {}) {
        session.setTrace(std::move(trace));
        out = midi.addOutputDevice("VEXA Q Series", [this](auto m) { peer.add(m); });
        in = midi.addInputDevice("VEXA Q Series");
        session.startPolling();
        EXPECT_EQ(session.openPorts(out, in), UpdaterSession::OpenResult::Ok);
        session.engine().commands.setActiveIdentity({0x3C, 0x00, 0x02, 0x00});
    }
    // Delivers one device message and waits until the dispatcher has removed it,
    // which it does only after the message's action (answer sent, slot written).
    void deliver(const Bytes& m) {
        midi.sendToHost(in, m);
        midi.flushInput(in);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!session.inPort().frontMessage().empty() &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
    }

    midi::VirtualMidiService midi;
    midi::PortableTimerService timer;
    q4m::test::RecordingView view;
    Peer peer;
    int out = 0, in = 0;
    UpdaterSession session{midi, timer, view};
};

const Bytes Ack{0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x00, 0xF7};
const Bytes Nak{0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x01, 0xF7};
const Bytes HostIdentityReply{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x00, 0x00,
                              0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};

TEST(SessionDispatch, EveryKindOfDeviceMessageGetsItsActionThroughThePorts) {
    struct Case {
        const char* name;
        Bytes message;
        std::optional<int> status;  // recorded and signalled, or nothing
        std::vector<Bytes> answers;
    } cases[] = {
        {"status 11", {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x0B, 0xF7}, 11, {}},
        {"status 0", {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x00, 0xF7}, 0, {}},
        {"write confirmation", {0xF0, 0x7D, 0x7F, 0x12, 0x02, 0xF7}, 0, {}},
        {"command 01", {0xF0, 0x7D, 0x00, 0x3C, 0x01, 0xF7}, std::nullopt, {Ack}},
        {"command 04", {0xF0, 0x7D, 0x00, 0x3C, 0x04, 0xF7}, std::nullopt, {Ack}},
        {"command 05", {0xF0, 0x7D, 0x00, 0x3C, 0x05, 0xF7}, std::nullopt, {Ack}},
        {"command 03", {0xF0, 0x7D, 0x00, 0x3C, 0x03, 0xF7}, std::nullopt, {}},
        {"command 06", {0xF0, 0x7D, 0x00, 0x3C, 0x06, 0xF7}, std::nullopt, {Nak}},
        {"command 0A", {0xF0, 0x7D, 0x00, 0x3C, 0x0A, 0xF7}, std::nullopt, {Nak}},
        {"command 7F", {0xF0, 0x7D, 0x00, 0x3C, 0x7F, 0xF7}, std::nullopt, {Nak}},
        {"identity request",
         {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
         std::nullopt,
         {HostIdentityReply}},
        {"identity reply",
         {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3C, 0x00, 0x02, 0x00, 0x31, 0x2E, 0x30, 0x30, 0xF7},
         0,
         {}},
        {"general information 03", {0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7}, std::nullopt, {Nak}},
        {"universal, not general information",
         {0xF0, 0x7E, 0x00, 0x09, 0x01, 0xF7},
         std::nullopt,
         {}},
        {"other manufacturer", {0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7}, std::nullopt, {}},
    };
    Rig rig;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto& reply = rig.session.engine().reply;
        reply.record(99);
        ASSERT_TRUE(reply.wait(0ms));
        rig.deliver(c.message);
        // An automatic answer has left through the port before the entry is removed.
        EXPECT_EQ(rig.peer.take(), c.answers);
        EXPECT_EQ(reply.eventIsSet(), c.status.has_value());
        EXPECT_EQ(reply.status(), c.status.value_or(99));
    }
    EXPECT_EQ(rig.session.engine().reply.deviceIdentity(),
              (engine::DeviceIdentity{0x3C, 0x00, 0x02, 0x00}));
}

// A verified ReadReply lands in the read-back buffer; the same reply with its
// CRC altered is decoded but neither counted nor accepted.
TEST(SessionDispatch, ReadRepliesAreVerifiedIntoTheReadBackBuffer) {
    const Bytes stamp{0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00,
                      0x00, 0x31, 0x2E, 0x30, 0x30, 0x12, 0x25, 0x03, 0x6B, 0x05, 0xF7};
    Rig rig;
    auto& engine = rig.session.engine();
    rig.deliver(stamp);
    EXPECT_EQ(engine.reply.status(), 0);
    EXPECT_EQ(engine.readBack.fill(), 4);
    std::uint8_t bytes[4] = {};
    engine.readBack.copyOut(0, bytes, 4);
    EXPECT_EQ(Bytes(bytes, bytes + 4), (Bytes{0x31, 0x2E, 0x30, 0x30}));

    Bytes altered = stamp;
    altered[17] ^= 0x01;
    rig.deliver(altered);
    EXPECT_EQ(engine.reply.status(), 1);
    EXPECT_EQ(engine.readBack.fill(), 4);
    EXPECT_TRUE(rig.peer.take().empty());
}

// The trace sees every message once, and a send that failed on the wire once
// more, marked as failed, right after it.
TEST(SessionDispatch, TraceMarksASendThatFailed) {
    using Event = UpdaterSession::TraceEvent;
    std::mutex mutex;
    std::vector<Event> events;
    Rig rig([&](Event e, std::span<const std::uint8_t>) {
        std::lock_guard lock(mutex);
        events.push_back(e);
    });
    EXPECT_EQ(rig.session.sendSysex(Ack.data(), static_cast<std::uint32_t>(Ack.size())), 0);
    rig.midi.setFailWrites(rig.out, true);
    EXPECT_EQ(rig.session.sendSysex(Ack.data(), static_cast<std::uint32_t>(Ack.size())), -1);
    std::lock_guard lock(mutex);
    EXPECT_EQ(events,
              (std::vector<Event>{Event::Outbound, Event::Outbound, Event::OutboundFailed}));
}

}  // namespace
}  // namespace q4m::app::test
