// The hand-overs between the update worker and the poll timer's thread:
// shared SendBuffer and output, the host's IdentityReply, and the ReplySlot
// and ReadBackBuffer written by the dispatcher. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/codec.h"
#include "engine/commands.h"
#include "engine/dispatcher.h"
#include "tests/engine/fake_host.h"

namespace q4m::engine {
namespace {

using test::Bytes;

// Records each message and notices when two sends overlap. The yields widen
// the window in which an unprotected buffer would be overwritten.
class OverlapSender : public SysexSender {
  public:
    int sendSysex(const std::uint8_t* bytes, std::uint32_t length) override {
        if (inFlight_.fetch_add(1) != 0) overlapped_ = true;
        Bytes copy(bytes, bytes + length);
        std::this_thread::yield();
        if (!std::equal(copy.begin(), copy.end(), bytes)) changedWhileSending_ = true;
        inFlight_.fetch_sub(1);
        std::lock_guard lock(mutex_);
        sent_.push_back(std::move(copy));
        return 0;
    }
    std::vector<Bytes> sent() const {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    bool overlapped() const { return overlapped_; }
    bool changedWhileSending() const { return changedWhileSending_; }

  private:
    std::atomic<int> inFlight_{0};
    std::atomic<bool> overlapped_{false};
    std::atomic<bool> changedWhileSending_{false};
    mutable std::mutex mutex_;
    std::vector<Bytes> sent_;
};

Bytes sentBy(const std::function<void(CommandSet&)>& send, const DeviceIdentity& reply = {}) {
    test::FakeHost host;
    CommandSet commands(host);
    commands.setActiveIdentity({0x3C, 0, 2, 0});
    commands.setReplyIdentity(reply);
    send(commands);
    return host.sent().at(0);
}

// Worker block writes, timer-thread automatic answers and identity changes at
// once: every message leaves whole, no two sends overlap, and each IdentityReply
// names one identity, never a mix.
TEST(CommandSetThreads, ConcurrentSendersNeverMixMessages) {
    const DeviceIdentity a = {0x3C, 0x00, 0x02, 0x00};
    const DeviceIdentity b = {0x11, 0x22, 0x33, 0x44};
    std::vector<std::uint8_t> block(4096);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i);

    const Bytes write =
        sentBy([&](CommandSet& c) { c.sendWriteBlock(0x3C, block.data(), 0, 4096); });
    const Bytes ack = sentBy([](CommandSet& c) { c.sendAck(); });
    const Bytes nak = sentBy([](CommandSet& c) { c.sendNak(1); });
    const Bytes replyA = sentBy([](CommandSet& c) { c.sendIdentityReply(); }, a);
    const Bytes replyB = sentBy([](CommandSet& c) { c.sendIdentityReply(); }, b);
    const Bytes replyBefore = sentBy([](CommandSet& c) { c.sendIdentityReply(); });

    OverlapSender sender;
    CommandSet commands(sender);
    commands.setActiveIdentity({0x3C, 0, 2, 0});
    constexpr int Rounds = 200;

    std::thread worker([&] {
        for (int i = 0; i < Rounds; ++i) {
            commands.sendWriteBlock(0x3C, block.data(), 0, 4096);
            commands.setReplyIdentity(i % 2 ? a : b);
        }
    });
    std::thread timer([&] {
        for (int i = 0; i < Rounds; ++i) {
            commands.sendAck();
            commands.sendIdentityReply();
            commands.sendNak(1);
        }
    });
    worker.join();
    timer.join();

    EXPECT_FALSE(sender.overlapped());
    EXPECT_FALSE(sender.changedWhileSending());
    const auto sent = sender.sent();
    ASSERT_EQ(sent.size(), 4u * Rounds);
    for (const auto& m : sent) {
        const bool known =
            m == write || m == ack || m == nak || m == replyA || m == replyB || m == replyBefore;
        ASSERT_TRUE(known) << "a message of " << m.size() << " bytes was mixed";
    }
}

// The dispatcher on its own thread hands replies to a waiting worker: the
// values it wrote before the signal are what the worker reads after its wait.
// Meanwhile the device keeps asking for the host's identity, so the timer
// thread answers while the worker sends.
TEST(DispatcherThreads, WorkerSeesWhatTheDispatcherRecorded) {
    test::FakeHost host;
    Engine engine(host);
    const Bytes identityReply = {0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3C, 0x00,
                                 0x02, 0x00, 0x31, 0x30, 0x30, 0x30, 0xF7};
    std::atomic<int> readCount{0};
    host.setDevice([&](const Bytes& sent) -> std::vector<Bytes> {
        if (sent[1] == 0x7E && sent[4] == 0x01)  // identity request
            return {{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}, identityReply};
        if (sent[1] == 0x7D && sent[4] == 0x60) {  // read request: answer with a counter
            const auto k = static_cast<std::uint8_t>(readCount.fetch_add(1) & 0x7F);
            Bytes data = {k, 0x80, k, 0xFF};
            Bytes m = {0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x04, 0x30, 0x00, 0x00, 0x04, 0x00};
            m.resize(11 + 5 + 5);
            packBytes(&m[11], data.data(), 4);
            putSeptet32(dataCrc(data.data(), 4), &m[16]);
            m.push_back(0xF7);
            return {{0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}, m};
        }
        return {};
    });
    host.startPolling(engine);

    ASSERT_EQ(engine.commands.sendIdentityRequest(), 0);
    ASSERT_TRUE(engine.reply.wait(Ms(10000)));
    EXPECT_EQ(engine.reply.status(), 0);
    EXPECT_EQ(engine.reply.deviceIdentity(), (DeviceIdentity{0x3C, 0x00, 0x02, 0x00}));
    engine.commands.setActiveIdentity(engine.reply.deviceIdentity());
    engine.commands.setReplyIdentity(engine.reply.deviceIdentity());

    for (int i = 0; i < 50; ++i) {
        engine.readBack.resetFill();
        ASSERT_EQ(engine.commands.sendReadRequest(0x22FFC, 4), 0);
        ASSERT_TRUE(engine.reply.wait(Ms(10000)));
        ASSERT_EQ(engine.reply.status(), 0);
        ASSERT_EQ(engine.readBack.fill(), 4);
        const auto k = static_cast<std::uint8_t>(i & 0x7F);
        const Bytes expected = {k, 0x80, k, 0xFF};
        const Bytes got = engine.readBack.withLocked(
            [](std::uint8_t* data, std::int32_t&) { return Bytes(data, data + 4); });
        ASSERT_EQ(got, expected);
    }
    host.stopPolling();

    // Every request was answered with the host's IdentityReply, whole.
    int replies = 0;
    for (const auto& m : host.sent())
        if (m[1] == 0x7E && m[4] == 0x02) {
            ++replies;
            EXPECT_EQ(m.size(), 15u);
        }
    EXPECT_EQ(replies, 51);
}

}  // namespace
}  // namespace q4m::engine
