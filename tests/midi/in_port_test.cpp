#include "midi/in_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "midi/virtual/virtual_midi.h"
#include "tests/midi/midi_test_support.h"

namespace q4m::midi {
namespace {

using test::Bytes;
using test::eventually;
using test::sysex;

// The virtual service with steps that can be made to fail, for the paths a
// well-behaved virtual device never takes.
class FailingService : public VirtualMidiService {
  public:
    std::atomic<bool> failStart{false};
    std::atomic<bool> failClose{false};
    std::atomic<bool> failStop{false};
    MmResult inStop(MidiHandle handle) override {
        return failStop ? MmError : VirtualMidiService::inStop(handle);
    }
    MmResult inStart(MidiHandle handle) override {
        return failStart ? MmError : VirtualMidiService::inStart(handle);
    }
    MmResult inClose(MidiHandle handle) override {
        return failClose ? MmError : VirtualMidiService::inClose(handle);
    }
};

class InPortTest : public ::testing::Test {
  protected:
    InPortTest() {
        service.addInputDevice("In A");
        service.addInputDevice("In B");
    }
    void send(int device, const Bytes& bytes) {
        service.sendToHost(device, bytes);
        service.flushInput(device);
    }
    std::vector<Bytes> drain() {
        std::vector<Bytes> entries;
        for (auto m = port.frontMessage(); !m.empty(); m = port.frontMessage()) {
            entries.emplace_back(m.begin(), m.end());
            port.popMessage();
        }
        return entries;
    }
    bool deviceFree(int device) {
        MidiHandle probe = nullptr;
        if (service.inOpen(&probe, device, &MidiInPort::onMidiInput, 0) != MmOk) return false;
        service.inClose(probe);
        return true;
    }
    FailingService service;
    MidiInPort port{service};
};

TEST_F(InPortTest, EachReturnedBufferBecomesOneEntryWithItsCount) {
    EXPECT_TRUE(port.frontMessage().empty());
    port.popMessage();  // harmless on an empty queue
    ASSERT_EQ(port.start(), 1);

    const Bytes first = sysex(5, 0x10);
    const Bytes second = sysex(40, 0x20);
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    send(0, both);
    EXPECT_EQ(drain(), (std::vector<Bytes>{first, second}));
}

TEST_F(InPortTest, MessageLongerThanTheBufferArrivesInSeparateEntries) {
    ASSERT_EQ(port.start(), 1);
    Bytes message = sysex(MidiInPort::ReceiveBufferSize + 98, 0x33);
    send(0, message);

    const auto entries = drain();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].size(), MidiInPort::ReceiveBufferSize);
    EXPECT_EQ(entries[0].front(), 0xF0);
    EXPECT_NE(entries[1].front(), 0xF0);
    EXPECT_EQ(entries[1].back(), 0xF7);
    Bytes joined = entries[0];
    joined.insert(joined.end(), entries[1].begin(), entries[1].end());
    EXPECT_EQ(joined, message);
}

TEST_F(InPortTest, StartOnAStartedPortKeepsItsDevice) {
    port.setDeviceIndex(0);
    ASSERT_EQ(port.start(), 1);
    port.setDeviceIndex(1);
    EXPECT_EQ(port.start(), 1);
    EXPECT_TRUE(port.isStarted());
    EXPECT_TRUE(deviceFree(1));
    EXPECT_FALSE(deviceFree(0));
    send(0, sysex(1, 0x01));
    EXPECT_EQ(drain().size(), 1u);
}

TEST_F(InPortTest, StopKeepsTheQueueAndTheResetBufferMakesNoEntry) {
    port.stop();  // never started: nothing happens
    ASSERT_EQ(port.start(), 1);
    const Bytes before = sysex(3, 0x0A);
    send(0, before);
    port.stop();  // the reset hands the buffer back empty
    port.stop();
    EXPECT_FALSE(port.isStarted());
    EXPECT_TRUE(deviceFree(0));
    send(0, sysex(3, 0x0B));  // the device is closed: dropped

    ASSERT_EQ(port.start(), 1);
    const Bytes after = sysex(3, 0x0C);
    send(0, after);
    EXPECT_EQ(drain(), (std::vector<Bytes>{before, after}));
}

// A failed start leaves nothing behind: no device held (another start can
// open it) and, under AddressSanitizer, no memory.
TEST_F(InPortTest, FailedStartGivesBackWhatItTook) {
    struct Case {
        const char* what;
        bool refuseOpen;
        bool failStart;
    } cases[] = {{"open refused", true, false}, {"start refused after open", false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        service.setRefuseOpen(true, 0, c.refuseOpen);
        service.failStart = c.failStart;
        EXPECT_EQ(port.start(), 0);
        EXPECT_FALSE(port.isStarted());
        service.setRefuseOpen(true, 0, false);
        service.failStart = false;
        EXPECT_TRUE(deviceFree(0));
        EXPECT_EQ(port.start(), 1);
        port.stop();
    }
}

TEST_F(InPortTest, RefusedCloseKeepsTheDeviceUntilALaterStop) {
    ASSERT_EQ(port.start(), 1);
    service.failClose = true;
    port.stop();
    EXPECT_FALSE(port.isStarted());
    EXPECT_FALSE(deviceFree(0)) << "the platform still has the device";
    service.failClose = false;
    port.stop();
    EXPECT_TRUE(deviceFree(0));
    EXPECT_EQ(port.start(), 1);
}

// A port the platform would not let go of is destroyed: the platform keeps
// calling back with what the port lent it, which must still be there.
TEST_F(InPortTest, APortWhoseCloseFailedLeavesTheCallbackNothingFreed) {
    std::unique_ptr<MidiInPort> owned;
    {
        [[maybe_unused]] test::LeakAllowed allowed;  // given up on purpose
        owned = std::make_unique<MidiInPort>(service);
        ASSERT_EQ(owned->start(), 1);
    }
    service.failStop = true;
    owned.reset();
    send(0, sysex(20, 0x01));  // AddressSanitizer reports a callback into freed memory
    service.failStop = false;
}

TEST_F(InPortTest, DestructionReleasesQueuedEntries) {
    auto owned = std::make_unique<MidiInPort>(service);
    ASSERT_EQ(owned->start(), 1);
    for (int i = 0; i < 3; ++i) {
        service.sendToHost(0, sysex(100, static_cast<std::uint8_t>(i)));
    }
    service.flushInput(0);
    owned.reset();  // AddressSanitizer reports any entry left behind
    EXPECT_TRUE(deviceFree(0));
}

TEST(InPortNameTest, NamelessDeviceGivesAnEmptyName) {
    VirtualMidiService service;
    service.addInputDevice("Q4m In");
    service.addInputDevice("ghost");
    service.setNameless(true, 1, true);
    MidiInPort port(service);
    EXPECT_EQ(port.deviceCount(), 2);
    char name[MidiInPort::NameCapacity] = "stale";
    port.deviceName(0, name);
    EXPECT_STREQ(name, "Q4m In");
    port.deviceName(1, name);
    EXPECT_STREQ(name, "");
}

// The service's input thread fills the queue while a consumer thread, like
// the reply dispatcher, takes entries: all arrive whole and in order.
TEST_F(InPortTest, ProducerAndConsumerOnTwoThreads) {
    ASSERT_EQ(port.start(), 1);
    constexpr int Count = 2000;
    auto messageFor = [](int i) {
        Bytes m = sysex(1 + i % 50, static_cast<std::uint8_t>(i % 0x80));
        m[1] = static_cast<std::uint8_t>(i / 0x80);
        return m;
    };
    std::atomic<int> taken{0};
    std::atomic<bool> giveUp{false};
    std::thread consumer([&] {
        while (taken < Count && !giveUp) {
            auto m = port.frontMessage();
            if (m.empty()) {
                std::this_thread::yield();
                continue;
            }
            const Bytes expected = messageFor(taken);
            EXPECT_TRUE(std::equal(m.begin(), m.end(), expected.begin(), expected.end()))
                << "entry " << taken.load();
            port.popMessage();
            ++taken;
        }
    });
    for (int i = 0; i < Count; ++i) service.sendToHost(0, messageFor(i));
    const bool allTaken = eventually([&] { return taken == Count; });
    giveUp = true;
    consumer.join();
    EXPECT_TRUE(allTaken) << taken.load() << " of " << Count;
}

}  // namespace
}  // namespace q4m::midi
