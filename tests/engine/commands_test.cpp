#include "engine/commands.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "tests/engine/fake_host.h"

namespace q4m::engine {
namespace {

using test::Bytes;

constexpr DeviceIdentity Q4m = {0x3C, 0x00, 0x02, 0x00};

class CommandSetTest : public ::testing::Test {
  protected:
    // The one message sent since the last call.
    Bytes lastSent() {
        const auto sent = host.sent();
        EXPECT_EQ(sent.size(), 1u);
        host.clearSent();
        return sent.empty() ? Bytes{} : sent.back();
    }

    test::FakeHost host;
    CommandSet commands{host};
};

// Byte-exact layouts of every host message, with ModelByte 0x3C.
TEST_F(CommandSetTest, SendsEachMessageByteExactly) {
    commands.setActiveIdentity(Q4m);
    const std::uint8_t three[] = {0x01, 0x02, 0x03};
    const std::uint8_t two[] = {0x80, 0xFF};
    struct Case {
        std::string name;
        std::function<int()> send;
        Bytes expected;
    };
    const Case cases[] = {
        {"identity request",
         [&] { return commands.sendIdentityRequest(); },
         {0xF0, 0x7E, 0x00, 0x06, 0x01, 0xF7}},
        {"ack", [&] { return commands.sendAck(); }, {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x00, 0xF7}},
        {"nak", [&] { return commands.sendNak(1); }, {0xF0, 0x7D, 0x00, 0x3C, 0x00, 0x01, 0xF7}},
        {"begin", [&] { return commands.sendBeginUpdate(); }, {0xF0, 0x7D, 0x00, 0x3C, 0x01, 0xF7}},
        {"end", [&] { return commands.sendEndUpdate(); }, {0xF0, 0x7D, 0x00, 0x3C, 0x04, 0xF7}},
        {"read request",
         [&] { return commands.sendReadRequest(0x22FFC, 4); },
         {0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x30, 0x7C, 0x5F, 0x08, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
          0x00, 0xF7}},
        {"erase",
         [&] { return commands.sendErase(0x3C, 0xDF000, 0x1000); },
         {0xF0, 0x7D, 0x00, 0x3C, 0x0A, 0x00, 0x60, 0x37, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,
          0xF7}},
        {"write 01 02 03",
         [&] { return commands.sendWriteBlock(0x3C, three, 0x40000, 3); },
         {0xF0, 0x7D, 0x00, 0x3C, 0x02, 0x00, 0x00, 0x10, 0x00, 0x00, 0x03,
          0x00, 0x00, 0x01, 0x02, 0x03, 0x62, 0x7F, 0x0D, 0x52, 0x0A, 0xF7}},
        {"write 80 FF",
         [&] { return commands.sendWriteBlock(0x3C, two, 0x23000, 2); },
         {0xF0, 0x7D, 0x00, 0x3C, 0x02, 0x00, 0x60, 0x08, 0x00, 0x00, 0x02,
          0x00, 0x60, 0x00, 0x7F, 0x46, 0x35, 0x1E, 0x45, 0x0A, 0xF7}},
        {"write nothing",
         [&] { return commands.sendWriteBlock(0x3C, nullptr, 0, 0); },
         {0xF0, 0x7D, 0x00, 0x3C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x7F, 0x7F,
          0x7F, 0x0F, 0xF7}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.send(), 0) << c.name;
        EXPECT_EQ(lastSent(), c.expected) << c.name;
    }
}

TEST_F(CommandSetTest, BeforeAnyHandshakeModelAndIdentityAreZero) {
    EXPECT_EQ(commands.sendAck(), 0);
    EXPECT_EQ(lastSent(), (Bytes{0xF0, 0x7D, 0x00, 0x00, 0x00, 0x00, 0xF7}));
    EXPECT_EQ(commands.sendIdentityReply(), 0);
    EXPECT_EQ(lastSent(), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x00, 0x00, 0x00, 0x00, 0x31,
                                 0x30, 0x30, 0x30, 0xF7}));
}

// The ActiveIdentity and the host's IdentityReply are separate: the reply
// names the last accepted device, the model byte follows the last handshake.
TEST_F(CommandSetTest, ReplyIdentityAndActiveIdentityAreIndependent) {
    commands.setReplyIdentity(Q4m);
    commands.setActiveIdentity({0x11, 0x22, 0x33, 0x44});
    EXPECT_EQ(commands.replyIdentity(), Q4m);
    EXPECT_EQ(commands.modelByte(), 0x11);

    commands.sendIdentityReply();
    EXPECT_EQ(lastSent(), (Bytes{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3C, 0x00, 0x02, 0x00, 0x31,
                                 0x30, 0x30, 0x30, 0xF7}));
    commands.sendBeginUpdate();
    EXPECT_EQ(lastSent()[3], 0x11);
    // Block writes and erases carry the model byte their caller passes.
    const std::uint8_t one = 0;
    commands.sendWriteBlock(0x3C, &one, 0, 1);
    EXPECT_EQ(lastSent()[3], 0x3C);
    commands.sendErase(0x3C, 0, 1);
    EXPECT_EQ(lastSent()[3], 0x3C);
}

// A 4096-byte block, taken apart field by field as the device would.
TEST_F(CommandSetTest, FullBlockDecodesToItsAddressDataAndCrc) {
    std::vector<std::uint8_t> block(4096);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint8_t>(i * 37 + 11);

    ASSERT_EQ(commands.sendWriteBlock(0x3C, block.data(), 0xB7000, 4096), 0);
    const Bytes m = lastSent();
    ASSERT_EQ(m.size(), 4700u);
    EXPECT_EQ(m.front(), 0xF0);
    EXPECT_EQ(m.back(), 0xF7);
    for (std::size_t i = 1; i + 1 < m.size(); ++i) ASSERT_LT(m[i], 0x80) << i;
    EXPECT_EQ(getSeptet32(&m[5]), 0xB7000u);
    EXPECT_EQ(getSeptet14(&m[10]), 4096);
    std::vector<std::uint8_t> data(unpackedLength(4682));
    EXPECT_EQ(unpackBytes(data.data(), &m[12], 4682), 4096);
    EXPECT_EQ(data, block);
    EXPECT_EQ(getSeptet32(&m[12 + 4682]), dataCrc(block.data(), 4096));
}

// A length the 14-bit field cannot carry would go out mislabelled (or overrun
// the SendBuffer), so such blocks are refused and nothing is sent.
TEST_F(CommandSetTest, RefusesBlocksItCannotDescribe) {
    std::vector<std::uint8_t> big(CommandSet::MaxBlockLength + 1, 0x55);
    EXPECT_EQ(commands.sendWriteBlock(0x3C, big.data(), 0, -1), -1);
    EXPECT_EQ(commands.sendWriteBlock(0x3C, big.data(), 0, CommandSet::MaxBlockLength + 1), -1);
    EXPECT_EQ(commands.sendWriteBlock(0x3C, nullptr, 0, 4), -1);
    EXPECT_TRUE(host.sent().empty());

    EXPECT_EQ(commands.sendWriteBlock(0x3C, big.data(), 0, CommandSet::MaxBlockLength), 0);
    const Bytes m = lastSent();
    EXPECT_EQ(m.size(), static_cast<std::size_t>(packedLength(CommandSet::MaxBlockLength) + 18));
    EXPECT_EQ(getSeptet14(&m[10]), CommandSet::MaxBlockLength);
}

// The model and identity bytes come from the device; a top bit in them must
// not leave the host as a non-data byte inside a SysEx message.
TEST_F(CommandSetTest, NeverSendsATopBitBetweenStartAndEnd) {
    commands.setActiveIdentity({0xBC, 0x80, 0x81, 0xFF});
    commands.setReplyIdentity({0xBC, 0x80, 0x81, 0xFF});
    const std::uint8_t data[] = {0xFF, 0x80};
    commands.sendAck();
    commands.sendNak(0x81);
    commands.sendBeginUpdate();
    commands.sendEndUpdate();
    commands.sendReadRequest(0xFFFFFFFF, 0xFFFFFFFF);
    commands.sendErase(0xFF, -1, -1);
    commands.sendWriteBlock(0xFF, data, -1, 2);
    commands.sendIdentityReply();
    const auto sent = host.sent();
    ASSERT_EQ(sent.size(), 8u);
    for (const auto& m : sent) {
        EXPECT_EQ(m.front(), 0xF0);
        EXPECT_EQ(m.back(), 0xF7);
        for (std::size_t i = 1; i + 1 < m.size(); ++i) EXPECT_LT(m[i], 0x80);
    }
    EXPECT_EQ(sent[0][3], 0x3C);
    EXPECT_EQ(sent[1][5], 0x01);
}

TEST_F(CommandSetTest, PassesAFailedSendOnUnchanged) {
    host.setRefuseSends(true);
    const std::uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(commands.sendIdentityRequest(), -1);
    EXPECT_EQ(commands.sendIdentityReply(), -1);
    EXPECT_EQ(commands.sendAck(), -1);
    EXPECT_EQ(commands.sendNak(1), -1);
    EXPECT_EQ(commands.sendBeginUpdate(), -1);
    EXPECT_EQ(commands.sendEndUpdate(), -1);
    EXPECT_EQ(commands.sendErase(0x3C, 0, 4096), -1);
    EXPECT_EQ(commands.sendReadRequest(0x22FFC, 4), -1);
    EXPECT_EQ(commands.sendWriteBlock(0x3C, data, 0, 3), -1);
}

}  // namespace
}  // namespace q4m::engine
