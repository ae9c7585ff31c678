// The simulator's answers to each request, byte for byte, and its flash model.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/sim/harness.h"

namespace q4m::sim::test {
namespace {

const Bytes Ack = status(Status::Ok);

struct ReplyCase {
    const char* name;
    bool updateMode;
    std::vector<Bytes> before;  // sent first, answers not checked
    Bytes request;
    std::vector<Bytes> expected;
};

TEST(DeviceSimulatorReplies, EachRequestIsAnsweredByteForByte) {
    // A write and an erase as they appear on the wire, taken literally.
    const Bytes writeOf010203 = {0xF0, 0x7D, 0x00, 0x3C, 0x02, 0x00, 0x00, 0x10, 0x00, 0x00, 0x03,
                                 0x00, 0x00, 0x01, 0x02, 0x03, 0x62, 0x7F, 0x0D, 0x52, 0x0A, 0xF7};
    Bytes badCrc = writeOf010203;
    badCrc[17] ^= 0x01;
    const Bytes eraseLiteral = {0xF0, 0x7D, 0x00, 0x3C, 0x0A, 0x00, 0x60, 0x37,
                                0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0xF7};
    Bytes shortErase = erase(0xDF000, 0x1000);
    shortErase.erase(shortErase.begin() + 14);
    Bytes highBit = erase(0xDF000, 0x1000);
    highBit[7] |= 0x80;
    Bytes otherModel = beginUpdate();
    otherModel[3] = 0x3D;

    const std::vector<ReplyCase> cases = {
        {"identity",
         true,
         {},
         identityRequest(),
         {{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3C, 0x00, 0x02, 0x00, 0x31, 0x2E, 0x30, 0x30,
           0xF7}}},
        {"identity with all-call device id",
         true,
         {},
         {0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7},
         {{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3C, 0x00, 0x02, 0x00, 0x31, 0x2E, 0x30, 0x30,
           0xF7}}},
        {"begin in update mode", true, {}, beginUpdate(), {Ack}},
        {"begin in normal mode", false, {}, beginUpdate(), {status(11)}},
        {"erase after begin", true, {beginUpdate()}, eraseLiteral, {Ack}},
        {"erase before begin", true, {}, eraseLiteral, {status(Status::NotBegun)}},
        {"erase in normal mode", false, {beginUpdate()}, eraseLiteral, {status(11)}},
        {"write after begin", true, {beginUpdate()}, writeOf010203, {Ack}},
        {"write with a bad CRC", true, {beginUpdate()}, badCrc, {status(Status::CrcMismatch)}},
        {"write before begin", true, {}, writeOf010203, {status(Status::NotBegun)}},
        {"write after end",
         true,
         {beginUpdate(), endUpdate()},
         writeOf010203,
         {status(Status::NotBegun)}},
        {"write in normal mode", false, {beginUpdate()}, writeOf010203, {status(11)}},
        {"end", true, {beginUpdate()}, endUpdate(), {Ack}},
        {"boot stamp read", true, {}, readRequest(0x22FFC, 4), {{0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x04,
                                                                 0x30, 0x00, 0x00, 0x04, 0x00, 0x00,
                                                                 0x31, 0x2E, 0x30, 0x30, 0x12, 0x25,
                                                                 0x03, 0x6B, 0x05, 0xF7}}},
        {"empty read",
         true,
         {},
         readRequest(0, 0),
         {{0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x04, 0x30, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x7F, 0x7F, 0x7F,
           0x0F, 0xF7}}},
        {"unknown command", true, {}, {0xF0, 0x7D, 0x00, 0x3C, 0x33, 0xF7}, {status(1)}},
        {"erase one byte short", true, {beginUpdate()}, shortErase, {status(Status::Malformed)}},
        {"erase with a top bit set", true, {beginUpdate()}, highBit, {status(Status::Malformed)}},
        {"host ACK", true, {}, Ack, {}},
        {"host NAK", true, {}, status(1), {}},
        {"host IdentityReply", true, {}, host([](auto& c) { return c.sendIdentityReply(); }), {}},
        {"another model", true, {}, otherModel, {}},
        {"another manufacturer", true, {}, {0xF0, 0x41, 0x10, 0x42, 0x12, 0xF7}, {}},
        {"not SysEx", true, {}, {0x90, 0x40, 0x7F}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimConfig config;
        config.bootStamp = "1.00";
        config.updateMode = c.updateMode;
        Rig rig(config);
        for (const auto& m : c.before) rig.send(m);
        EXPECT_EQ(rig.send(c.request), c.expected);
    }
}

TEST(DeviceSimulatorReplies, BootStampIsWrittenAtConstructionAndOnRequest) {
    Rig rig;  // default stamp "0.90"
    auto flash = rig.sim.flashCopy();
    ASSERT_EQ(flash.size(), DeviceSimulator::FlashSize);
    EXPECT_EQ(Bytes(flash.begin() + 0x22FFC, flash.begin() + 0x23000), Bytes({'0', '.', '9', '0'}));
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), 0x100000 - 4);

    // A loaded flash image can be stamped afterwards.
    rig.sim.setFlash(Bytes(DeviceSimulator::FlashSize, 0x00));
    rig.sim.writeBootStamp("1.00");
    Bytes stamp;
    ASSERT_TRUE(decodeReadReply(rig.send(readRequest(0x22FFC, 4)).at(0), stamp));
    EXPECT_EQ(stamp, Bytes({'1', '.', '0', '0'}));
}

// Blocks land where they are addressed; programming without an erase can only
// clear bits, so stale data shows through.
TEST(DeviceSimulatorFlash, WritesFollowNorRules) {
    Rig rig;
    rig.send(beginUpdate());
    const Bytes first = {0xAA, 0xF0, 0x80, 0x00, 0x7F, 0xFF, 0x12, 0x34};
    ASSERT_EQ(rig.send(writeBlock(0x40000, first)), std::vector<Bytes>{Ack});
    ASSERT_EQ(rig.send(writeBlock(0x40000, {0x0F, 0x0F})), std::vector<Bytes>{Ack});
    auto flash = rig.sim.flashCopy();
    EXPECT_EQ(Bytes(flash.begin() + 0x40000, flash.begin() + 0x40008),
              Bytes({0x0A, 0x00, 0x80, 0x00, 0x7F, 0xFF, 0x12, 0x34}));
    EXPECT_EQ(flash[0x3FFFF], 0xFF);
    EXPECT_EQ(rig.sim.counters().blocksOverUnerased, 1);
    EXPECT_EQ(rig.sim.counters().blocksWritten, 2);

    ASSERT_EQ(rig.send(erase(0x40000, 0x1000)), std::vector<Bytes>{Ack});
    ASSERT_EQ(rig.send(writeBlock(0x40000, {0x0F, 0x0F})), std::vector<Bytes>{Ack});
    flash = rig.sim.flashCopy();
    EXPECT_EQ(Bytes(flash.begin() + 0x40000, flash.begin() + 0x40004),
              Bytes({0x0F, 0x0F, 0xFF, 0xFF}));
    EXPECT_EQ(rig.sim.counters().blocksOverUnerased, 1);
}

// A range that leaves the flash, or wraps around 4 GiB, is refused whole.
TEST(DeviceSimulatorFlash, RangesOutsideTheFlashChangeNothing) {
    struct Case {
        const char* name;
        Bytes request;
        Bytes expected;
    };
    const std::vector<Case> cases = {
        {"erase the last sector", erase(0xFF000, 0x1000), Ack},
        {"erase the whole flash", erase(0, 0x100000), Ack},
        {"erase nothing at the end", erase(0x100000, 0), Ack},
        {"erase one byte past the end", erase(0xFF000, 0x1001), status(Status::OutOfRange)},
        {"erase from past the end", erase(0x100000, 1), status(Status::OutOfRange)},
        {"erase wrapping around", erase(0xFFFFFFFF, 2), status(Status::OutOfRange)},
        {"write the last bytes", writeBlock(0xFFFFE, {1, 2}), Ack},
        {"write one byte past the end", writeBlock(0xFFFFE, {1, 2, 3}), status(Status::OutOfRange)},
        {"write wrapping around", writeBlock(0xFFFFFFFF, {1, 2}), status(Status::OutOfRange)},
        {"read one byte past the end", readRequest(0xFFFFF, 2), status(Status::OutOfRange)},
        {"read wrapping around", readRequest(0xFFFFFFFF, 2), status(Status::OutOfRange)},
    };
    const Bytes zeros(DeviceSimulator::FlashSize, 0x00);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.sim.setFlash(zeros);
        rig.send(beginUpdate());
        EXPECT_EQ(rig.send(c.request), std::vector<Bytes>{c.expected});
        if (c.expected != Ack) {
            EXPECT_EQ(rig.sim.flashCopy(), zeros);
        }
    }
}

TEST(DeviceSimulatorFlash, LongReadsComeInSeveralReplies) {
    Rig rig;
    Bytes pattern(DeviceSimulator::FlashSize);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    rig.sim.setFlash(pattern);

    const std::uint32_t address = 0x1234, length = 2 * 16383 + 100;
    const auto replies = rig.send(readRequest(address, length));
    ASSERT_EQ(replies.size(), 3u);
    Bytes data;
    for (const auto& r : replies) ASSERT_TRUE(decodeReadReply(r, data));
    EXPECT_EQ(engine::getSeptet14(&replies[0][9]), 16383);
    EXPECT_EQ(engine::getSeptet14(&replies[2][9]), 100);
    EXPECT_EQ(data, Bytes(pattern.begin() + address, pattern.begin() + address + length));

    // The whole flash reads back too.
    data.clear();
    for (const auto& r : rig.send(readRequest(0, DeviceSimulator::FlashSize)))
        ASSERT_TRUE(decodeReadReply(r, data));
    EXPECT_EQ(data, pattern);
}

class FlashFile : public ::testing::Test {
  protected:
    void TearDown() override { std::filesystem::remove(path_); }
    std::string path_ =
        (std::filesystem::temp_directory_path() /
         ("q4m_devsim_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
          ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".bin"))
            .string();
};

TEST_F(FlashFile, FlashSurvivesSaveAndLoad) {
    Bytes written;
    {
        Rig rig;
        rig.send(beginUpdate());
        rig.send(erase(0x23000, 0x1000));
        rig.send(writeBlock(0x23000, {1, 2, 3, 4, 5}));
        written = rig.sim.flashCopy();
        std::string error;
        ASSERT_TRUE(rig.sim.saveFlash(path_, &error)) << error;
    }
    ASSERT_EQ(std::filesystem::file_size(path_), DeviceSimulator::FlashSize);
    SimConfig config;
    config.bootStamp = "9.99";
    Rig next(config);
    std::string error;
    ASSERT_TRUE(next.sim.loadFlash(path_, &error)) << error;
    EXPECT_EQ(next.sim.flashCopy(), written);
}

TEST_F(FlashFile, FilesOfTheWrongSizeAreRefused) {
    for (std::size_t size : {std::size_t{0}, std::size_t{DeviceSimulator::FlashSize - 1},
                             std::size_t{DeviceSimulator::FlashSize + 1}}) {
        SCOPED_TRACE(size);
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << std::string(size, '\0');
        Rig rig;
        const auto before = rig.sim.flashCopy();
        std::string error;
        EXPECT_FALSE(rig.sim.loadFlash(path_, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(rig.sim.flashCopy(), before);
    }
    Rig rig;
    std::string error;
    EXPECT_FALSE(rig.sim.loadFlash(path_ + ".missing", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(rig.sim.saveFlash("/nonexistent-dir/flash.bin", &error));
}

}  // namespace
}  // namespace q4m::sim::test
