#include "engine/dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "tests/engine/fake_host.h"

namespace q4m::engine {
namespace {

using test::Bytes;

constexpr std::int32_t Untouched = 42;  // a status no handled message writes
const Bytes Ack = {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x00, 0xF7};
const Bytes Nak = {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x01, 0xF7};
const Bytes HostIdentityReply = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x00, 0x00,
                                 0x00, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};

// The ReadReply carrying 31 2E 30 30 ("1.00").
const Bytes StampReply = {0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00,
                          0x00, 0x31, 0x2E, 0x30, 0x30, 0x12, 0x25, 0x03, 0x6B, 0x05, 0xF7};

Bytes readReply(const Bytes& data) {
    const auto n = static_cast<std::int32_t>(data.size());
    Bytes m = {0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x04, 0x30, 0x00, 0x00, 0x00, 0x00};
    putSeptet14(n, &m[9]);
    m.resize(11 + packedLength(n) + 5);
    packBytes(&m[11], data.data(), n);
    putSeptet32(dataCrc(data.data(), static_cast<std::uint32_t>(n)), &m[11 + packedLength(n)]);
    m.push_back(0xF7);
    return m;
}

class DispatcherTest : public ::testing::Test {
  protected:
    DispatcherTest() {
        engine.commands.setActiveIdentity({0x3C, 0x00, 0x02, 0x00});
        engine.reply.record(Untouched);
        engine.reply.resetEvent();
    }

    // Queues the messages and runs one pass, which must empty the queue.
    void dispatch(std::vector<Bytes> messages) {
        for (auto& m : messages) host.receive(std::move(m));
        dispatchReplies(engine);
        EXPECT_TRUE(host.frontMessage().empty());
    }

    Bytes readBack(std::int32_t from, std::int32_t n) {
        return engine.readBack.withLocked(
            [&](std::uint8_t* data, std::int32_t&) { return Bytes(data + from, data + from + n); });
    }
    void setFill(std::int32_t fill) {
        engine.readBack.withLocked([&](std::uint8_t*, std::int32_t& f) { f = fill; });
    }

    test::FakeHost host;
    Engine engine{host};
};

// Every kind of arriving message: what is recorded, whether the waiter is
// woken, and what the host answers on its own.
TEST_F(DispatcherTest, ActsOnEachMessageKind) {
    struct Case {
        std::string name;
        Bytes message;
        std::optional<std::int32_t> status;  // nullopt: no signal, status untouched
        std::vector<Bytes> answers;
    };
    const std::vector<Case> cases = {
        {"status 11", {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x0B, 0xF7}, 11, {}},
        {"status 0", {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x00, 0xF7}, 0, {}},
        {"block confirmed, any device and model", {0xF0, 0x7D, 0x7F, 0x12, 0x02, 0xF7}, 0, {}},
        {"device begins", {0xF0, 0x7D, 0x00, 0x3C, 0x01, 0xF7}, std::nullopt, {Ack}},
        {"device ends", {0xF0, 0x7D, 0x00, 0x3C, 0x04, 0xF7}, std::nullopt, {Ack}},
        {"command 05", {0xF0, 0x7D, 0x00, 0x3C, 0x05, 0xF7}, std::nullopt, {Ack}},
        {"command 03", {0xF0, 0x7D, 0x00, 0x3C, 0x03, 0xF7}, std::nullopt, {}},
        {"command 06", {0xF0, 0x7D, 0x00, 0x3C, 0x06, 0xF7}, std::nullopt, {Nak}},
        {"erase from device", {0xF0, 0x7D, 0x00, 0x3C, 0x0A, 0xF7}, std::nullopt, {Nak}},
        {"command 5F", {0xF0, 0x7D, 0x00, 0x3C, 0x5F, 0xF7}, std::nullopt, {Nak}},
        {"command 61", {0xF0, 0x7D, 0x00, 0x3C, 0x61, 0xF7}, std::nullopt, {Nak}},
        {"command 7F", {0xF0, 0x7D, 0x00, 0x3C, 0x7F, 0xF7}, std::nullopt, {Nak}},
        {"device asks identity",
         {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
         std::nullopt,
         {HostIdentityReply}},
        {"general information 03", {0xF0, 0x7E, 0x00, 0x06, 0x03, 0xF7}, std::nullopt, {Nak}},
        {"other universal", {0xF0, 0x7E, 0x00, 0x09, 0x01, 0xF7}, std::nullopt, {}},
        {"other manufacturer", {0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7}, std::nullopt, {}},
        {"not SysEx", {0x90, 0x3C, 0x7F}, std::nullopt, {}},
        {"continuation piece", {0x12, 0x34, 0x56, 0xF7}, std::nullopt, {}},
        // Fragments too short for the bytes their kind is read at are dropped.
        {"lone start", {0xF0}, std::nullopt, {}},
        {"no command", {0xF0, 0x7D, 0x00, 0x3C}, std::nullopt, {}},
        {"status cut off", {0xF0, 0x7D, 0x00, 0x3C, 0x00}, std::nullopt, {}},
        {"status byte missing", {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0xF7}, std::nullopt, {}},
        // A status above 127 is no data byte; 255 would pass for a cancel.
        {"status FF", {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0xFF, 0xF7}, std::nullopt, {}},
        {"universal cut off", {0xF0, 0x7E, 0x00, 0x06}, std::nullopt, {}},
        {"identity cut off", {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3C, 0x00}, std::nullopt, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        engine.reply.record(Untouched);
        engine.reply.resetEvent();
        host.clearSent();

        dispatch({c.message});

        EXPECT_EQ(engine.reply.eventIsSet(), c.status.has_value());
        EXPECT_EQ(engine.reply.status(), c.status.value_or(Untouched));
        EXPECT_EQ(host.sent(), c.answers);
        EXPECT_EQ(engine.reply.deviceIdentity(), (DeviceIdentity{}));
    }
}

TEST_F(DispatcherTest, IdentityReplyRecordsTheDeviceIdentity) {
    dispatch({{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3C, 0x00, 0x02, 0x00, 0x31, 0x2E, 0x30, 0x30,
               0xF7}});
    EXPECT_TRUE(engine.reply.eventIsSet());
    EXPECT_EQ(engine.reply.status(), 0);
    EXPECT_EQ(engine.reply.deviceIdentity(), (DeviceIdentity{0x3C, 0x00, 0x02, 0x00}));
    EXPECT_TRUE(host.sent().empty());
}

TEST_F(DispatcherTest, VerifiedReadReplyFillsTheBuffer) {
    dispatch({StampReply});
    EXPECT_TRUE(engine.reply.eventIsSet());
    EXPECT_EQ(engine.reply.status(), 0);
    EXPECT_EQ(engine.readBack.fill(), 4);
    EXPECT_EQ(readBack(0, 4), (Bytes{0x31, 0x2E, 0x30, 0x30}));

    // The next reply lands behind the first.
    dispatch({readReply({0xFF, 0x00, 0x80, 0x7F})});
    EXPECT_EQ(engine.readBack.fill(), 8);
    EXPECT_EQ(readBack(4, 4), (Bytes{0xFF, 0x00, 0x80, 0x7F}));
}

TEST_F(DispatcherTest, ReadReplyWithBadCrcIsAFailedRead) {
    for (std::size_t at = 16; at <= 20; ++at) {
        SCOPED_TRACE(at);
        setFill(0);
        engine.reply.record(Untouched);
        engine.reply.resetEvent();
        Bytes bad = StampReply;
        bad[at] ^= 0x01;

        dispatch({bad});
        EXPECT_TRUE(engine.reply.eventIsSet());
        EXPECT_EQ(engine.reply.status(), 1);
        EXPECT_EQ(engine.readBack.fill(), 0);
        // Decoded all the same, as scratch beyond the fill count.
        EXPECT_EQ(readBack(0, 4), (Bytes{0x31, 0x2E, 0x30, 0x30}));
    }
}

TEST_F(DispatcherTest, ReadReplyDecodesExactlyItsDataCount) {
    engine.readBack.withLocked([](std::uint8_t* data, std::int32_t&) { data[6] = 0xAA; });
    const Bytes six = {1, 2, 3, 4, 5, 0x86};
    const Bytes reply = readReply(six);
    ASSERT_EQ(reply.size(), 11u + 7 + 5 + 1);  // CRC in bytes 18 to 22

    dispatch({reply});
    EXPECT_EQ(engine.reply.status(), 0);
    EXPECT_EQ(engine.readBack.fill(), 6);
    EXPECT_EQ(readBack(0, 7), (Bytes{1, 2, 3, 4, 5, 0x86, 0xAA}));
}

TEST_F(DispatcherTest, EmptyReadReplyIsVerifiedByTheEmptyCrc) {
    setFill(3);
    dispatch({{0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x04, 0x30, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x7F, 0x7F,
               0x7F, 0x0F, 0xF7}});
    EXPECT_TRUE(engine.reply.eventIsSet());
    EXPECT_EQ(engine.reply.status(), 0);
    EXPECT_EQ(engine.readBack.fill(), 3);
}

// Every malformed ReadReply of the known format wakes the waiter with a failed
// read and leaves the buffer alone.
TEST_F(DispatcherTest, MalformedReadRepliesAreFailedReads) {
    struct Case {
        std::string name;
        Bytes message;
    };
    std::vector<Case> cases;
    Bytes wrongFixed = StampReply;
    wrongFixed[6] = 0x31;
    cases.push_back({"byte 6 is 31", wrongFixed});
    Bytes topBitLength = StampReply;
    topBitLength[9] = 0x84;
    cases.push_back({"length byte not a septet", topBitLength});
    // Cut anywhere before its CRC ends: nothing past the end may be read
    // (the entries are sized exactly, so AddressSanitizer would see it).
    for (std::size_t size = 5; size < StampReply.size() - 1; ++size)
        cases.push_back({"cut to " + std::to_string(size),
                         Bytes(StampReply.begin(), StampReply.begin() + size)});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        engine.readBack.withLocked([](std::uint8_t* data, std::int32_t& fill) {
            std::fill(data, data + 8, 0xEE);
            fill = 0;
        });
        engine.reply.record(0);
        engine.reply.resetEvent();

        dispatch({c.message});
        EXPECT_TRUE(engine.reply.eventIsSet());
        EXPECT_EQ(engine.reply.status(), 1);
        EXPECT_EQ(engine.readBack.fill(), 0);
        EXPECT_EQ(readBack(0, 8), Bytes(8, 0xEE));
    }
}

// A reply of another format wakes the waiter with the status it had, and
// delivers nothing.
TEST_F(DispatcherTest, ReadReplyOfAnotherFormatKeepsTheStatus) {
    Bytes otherFormat = StampReply;
    otherFormat[5] = 0x05;
    dispatch({{0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x00, 0xF7}});
    engine.reply.resetEvent();
    dispatch({otherFormat});
    EXPECT_TRUE(engine.reply.eventIsSet());
    EXPECT_EQ(engine.reply.status(), 0);
    EXPECT_EQ(engine.readBack.fill(), 0);
}

// Unasked replies could walk the fill count to the end of the buffer: data
// that would not fit are refused whole, and nothing is written past the end.
TEST_F(DispatcherTest, ReadReplyThatWouldOverflowTheBufferIsRefused) {
    setFill(ReadBackBuffer::Size - 4);
    dispatch({StampReply});
    EXPECT_EQ(engine.reply.status(), 0);
    EXPECT_EQ(engine.readBack.fill(), ReadBackBuffer::Size);
    EXPECT_EQ(readBack(ReadBackBuffer::Size - 4, 4), (Bytes{0x31, 0x2E, 0x30, 0x30}));

    setFill(ReadBackBuffer::Size - 3);
    dispatch({readReply({9, 9, 9, 9})});
    EXPECT_TRUE(engine.reply.eventIsSet());
    EXPECT_EQ(engine.reply.status(), 1);
    EXPECT_EQ(engine.readBack.fill(), ReadBackBuffer::Size - 3);
    EXPECT_EQ(readBack(ReadBackBuffer::Size - 3, 3), (Bytes{0x2E, 0x30, 0x30}));
}

// The worker's copy reads the bytes as they are, and zeros outside the buffer.
TEST_F(DispatcherTest, CopyOutStaysInsideTheBuffer) {
    setFill(ReadBackBuffer::Size - 2);
    dispatch({readReply({0x31, 0x2E})});
    std::uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    engine.readBack.copyOut(ReadBackBuffer::Size - 2, out, 4);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x31, 0x2E, 0x00, 0x00}));
    engine.readBack.copyOut(-1, out, 2);
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[1], readBack(0, 1)[0]);
}

TEST_F(DispatcherTest, OnePassHandlesEverythingInOrderAndSignalsOnce) {
    dispatch({{0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x05, 0xF7},
              {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x00, 0xF7},
              {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3C, 0x00, 0x01, 0x00, 0x31, 0x2E, 0x30, 0x30,
               0xF7}});
    EXPECT_EQ(engine.reply.status(), 0);
    EXPECT_EQ(engine.reply.deviceIdentity(), (DeviceIdentity{0x3C, 0x00, 0x01, 0x00}));
    EXPECT_TRUE(engine.reply.wait(Ms(0)));
    EXPECT_FALSE(engine.reply.wait(Ms(0)));
}

// A message that arrives while the pass is running (here: the device's
// answer to the host's automatic ACK) is handled in the same pass.
TEST_F(DispatcherTest, PassRunsUntilTheQueueIsEmpty) {
    host.setDevice([](const Bytes& sent) {
        if (sent[4] == 0x00 && sent[5] == 0x00)
            return std::vector<Bytes>{{0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x07, 0xF7}};
        return std::vector<Bytes>{};
    });
    dispatch({{0xF0, 0x7D, 0x00, 0x3C, 0x01, 0xF7}});
    EXPECT_EQ(host.sent(), std::vector<Bytes>{Ack});
    EXPECT_EQ(engine.reply.status(), 7);
}

TEST_F(DispatcherTest, FailedAutomaticAnswerStillRemovesTheMessage) {
    host.setRefuseSends(true);
    dispatch({{0xF0, 0x7D, 0x00, 0x3C, 0x01, 0xF7}, {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x00, 0xF7}});
    EXPECT_EQ(engine.reply.status(), 0);
    EXPECT_TRUE(engine.reply.eventIsSet());
}

TEST_F(DispatcherTest, PollTickDispatchesForTheEngineItIsGiven) {
    host.receive({0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x03, 0xF7});
    onPollTick(1, 0, 0, 0, 0);  // no engine: nothing happens
    EXPECT_FALSE(host.frontMessage().empty());
    onPollTick(1, 0, reinterpret_cast<std::uintptr_t>(&engine), 0, 0);
    EXPECT_TRUE(host.frontMessage().empty());
    EXPECT_EQ(engine.reply.status(), 3);
}

}  // namespace
}  // namespace q4m::engine
