#include "midi/out_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "midi/virtual/virtual_midi.h"
#include "tests/midi/midi_test_support.h"

namespace q4m::midi {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::eventually;
using test::RecordingPeer;
using test::sysex;

std::uint32_t flagsOf(const MidiHeader& header) {
    return header.flags.load();
}

// Records whether a long message was handed over while another was still out,
// which a port that lets sends overlap would do.
class OverlapWatchingService : public VirtualMidiService {
  public:
    MmResult outLongMsg(MidiHandle handle, MidiHeader* header) override {
        if (inFlight_.fetch_add(1) != 0) overlapped_ = true;
        MmResult result = VirtualMidiService::outLongMsg(handle, header);
        if (result != MmOk) inFlight_.fetch_sub(1);
        return result;
    }
    MmResult outUnprepareHeader(MidiHandle handle, MidiHeader* header) override {
        if (header->flags.load() & MhdrDone) inFlight_.fetch_sub(1);
        return VirtualMidiService::outUnprepareHeader(handle, header);
    }
    bool overlapped() const { return overlapped_; }

  private:
    std::atomic<int> inFlight_{0};
    std::atomic<bool> overlapped_{false};
};

class OutPortTest : public ::testing::Test {
  protected:
    OutPortTest() {
        service.addOutputDevice("Out A", [this](auto m) { peerA(m); });
        service.addOutputDevice("Out B", [this](auto m) { peerB(m); });
    }
    // Peers and service outlive the port (members are destroyed in reverse).
    RecordingPeer peerA, peerB;
    OverlapWatchingService service;
    MidiOutPort port{service, 5s};
};

TEST_F(OutPortTest, OpenKeepsTheSameDeviceAndClosesAnotherFirst) {
    ASSERT_EQ(port.open(0), 1);
    // A second platform open of device 0 would be refused, so 1 here means kept.
    EXPECT_EQ(port.open(0), 1);
    EXPECT_EQ(port.deviceIndex(), 0);

    ASSERT_EQ(port.open(1), 1);
    EXPECT_EQ(port.deviceIndex(), 1);
    MidiHandle other = nullptr;
    EXPECT_EQ(service.outOpen(&other, 0), MmOk) << "device 0 was not closed";
    EXPECT_EQ(service.outOpen(&other, 1), MmAllocated) << "device 1 is not held by the port";
    service.outClose(other);

    const Bytes message = sysex(3, 0x11);
    EXPECT_EQ(sendSysex(port, message.data(), message.size()), 0);
    EXPECT_EQ(peerB.messages(), std::vector<Bytes>{message});
    EXPECT_TRUE(peerA.messages().empty());
}

TEST_F(OutPortTest, FailedOpenRemembersIndexAndALaterOpenAsksAgain) {
    service.setRefuseOpen(false, 1, true);
    EXPECT_EQ(port.open(1), 0);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.deviceIndex(), 1);

    service.setRefuseOpen(false, 1, false);
    EXPECT_EQ(port.open(1), 1);
    EXPECT_TRUE(port.isOpen());
}

TEST_F(OutPortTest, ClosedPortClosesNothingAndSendsNothing) {
    EXPECT_EQ(port.close(), 0);
    const Bytes message = sysex(2, 0x01);
    EXPECT_EQ(sendSysex(port, message.data(), message.size()), -1);

    ASSERT_EQ(port.open(0), 1);
    EXPECT_EQ(port.close(), 1);
    EXPECT_EQ(port.close(), 0);
    EXPECT_EQ(sendSysex(port, message.data(), message.size()), -1);
    EXPECT_TRUE(peerA.messages().empty());
}

TEST_F(OutPortTest, SendReturnsOnlyWhenThePlatformIsDoneAndTheHeaderIsUnprepared) {
    service.setWireRate(1.0);  // 1 byte per ms: the send visibly takes a while
    ASSERT_EQ(port.open(0), 1);
    Bytes message = sysex(30, 0x42);
    MidiHeader header;
    header.data = message.data();
    header.bufferLength = static_cast<std::uint32_t>(message.size());

    EXPECT_EQ(port.sendLong(&header), 1);
    const std::uint32_t flags = flagsOf(header);
    EXPECT_TRUE(flags & MhdrDone);
    EXPECT_FALSE(flags & MhdrPrepared);
    EXPECT_FALSE(flags & MhdrInQueue);
    // The peer gets the whole message before the platform marks it done.
    EXPECT_EQ(peerA.messages(), std::vector<Bytes>{message});
}

TEST_F(OutPortTest, RefusedSendFailsAtOnceAndLeavesTheHeaderUnprepared) {
    ASSERT_EQ(port.open(0), 1);
    service.setRefuseSend(0, true);
    Bytes message = sysex(4, 0x05);
    MidiHeader header;
    header.data = message.data();
    header.bufferLength = static_cast<std::uint32_t>(message.size());

    EXPECT_EQ(port.sendLong(&header), 0);
    EXPECT_FALSE(flagsOf(header) & MhdrPrepared);
    EXPECT_EQ(sendSysex(port, message.data(), message.size()), -1);
    EXPECT_TRUE(peerA.messages().empty());
}

TEST_F(OutPortTest, SendLimitExpiryFailsAndTakesTheBytesBack) {
    service.setWireRate(0.001);  // a second per byte: far beyond the limit below
    MidiOutPort slowPort(service, 20ms);
    ASSERT_EQ(slowPort.open(0), 1);
    Bytes message = sysex(8, 0x33);
    MidiHeader header;
    header.data = message.data();
    header.bufferLength = static_cast<std::uint32_t>(message.size());

    EXPECT_EQ(slowPort.sendLong(&header), 0);
    const std::uint32_t flags = flagsOf(header);
    EXPECT_TRUE(flags & MhdrDone);
    EXPECT_FALSE(flags & MhdrInQueue) << "the platform still holds the bytes";
    EXPECT_FALSE(flags & MhdrPrepared);
    EXPECT_TRUE(peerA.messages().empty());
    EXPECT_EQ(slowPort.close(), 1);
}

// Closing lets a message already on the wire finish within its grace (the
// device gets it whole), and cuts one that would take longer: then the send
// reports failure and the header is back.
TEST_F(OutPortTest, CloseLetsAMessageOnTheWireFinishWithinTheGrace) {
    struct Case {
        double bytesPerMs;
        std::chrono::milliseconds grace;
        int result;
    } cases[] = {{0.5, 5s, 1}, {1e-6, 20ms, 0}};  // 40 ms for the message; hours for it
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytesPerMs);
        RecordingPeer peer;
        service.setReceiver(0, [&](auto m) { peer(m); });
        service.setWireRate(c.bytesPerMs);
        MidiOutPort closingPort(service, std::chrono::hours(24), c.grace);
        ASSERT_EQ(closingPort.open(0), 1);
        Bytes message = sysex(8, 0x44);
        MidiHeader header;
        header.data = message.data();
        header.bufferLength = static_cast<std::uint32_t>(message.size());

        std::atomic<int> result{-1};
        std::thread sender([&] { result = closingPort.sendLong(&header); });
        ASSERT_TRUE(eventually([&] { return (flagsOf(header) & MhdrInQueue) != 0; }));
        EXPECT_EQ(closingPort.close(), 1);
        sender.join();
        EXPECT_EQ(result, c.result);
        EXPECT_FALSE(flagsOf(header) & (MhdrInQueue | MhdrPrepared));
        EXPECT_EQ(peer.messages().size(), c.result == 1 ? 1u : 0u);
    }
}

// A device that goes away mid-send: the service marks the header with an
// error, and the send is reported failed, not done.
TEST_F(OutPortTest, AWriteThatFailsOnTheWireIsNotSent) {
    ASSERT_EQ(port.open(0), 1);
    service.setFailWrites(0, true);
    Bytes message = sysex(16, 0x21);
    EXPECT_EQ(sendSysex(port, message.data(), static_cast<std::uint32_t>(message.size())), -1);
    service.setFailWrites(0, false);
    EXPECT_EQ(sendSysex(port, message.data(), static_cast<std::uint32_t>(message.size())), 0);
    EXPECT_EQ(peerA.messages(), std::vector<Bytes>{message});
}

// A platform that never gives a header back, even after a reset, must not be
// left reading bytes the caller reuses: the port sends a copy it owns, gives
// that copy up, and refuses to send until it is opened again.
class KeepingService : public VirtualMidiService {
  public:
    std::atomic<bool> keep{false};
    MmResult outReset(MidiHandle handle) override {
        return keep ? MmOk : VirtualMidiService::outReset(handle);
    }
};

TEST(OutPortKeptHeaderTest, CallersBytesAreNeverLent) {
    KeepingService service;
    RecordingPeer peer;
    service.addOutputDevice("Out", [&](auto m) { peer(m); });
    service.setWireRate(1e-6);
    {
        MidiOutPort port(service, 20ms, 10ms);
        ASSERT_EQ(port.open(0), 1);
        service.keep = true;
        Bytes message = sysex(8, 0x11);
        {
            // The copy the platform keeps is given up on purpose.
            [[maybe_unused]] test::LeakAllowed allowed;
            EXPECT_EQ(sendSysex(port, message.data(), static_cast<std::uint32_t>(message.size())),
                      -1);
        }
        std::fill(message.begin(), message.end(), 0);  // the caller's bytes are free to reuse
        EXPECT_EQ(sendSysex(port, message.data(), static_cast<std::uint32_t>(message.size())), -1)
            << "a port whose buffer the platform kept sends nothing more";
        service.keep = false;
        service.setWireRate(0);
        port.close();
    }
}

TEST_F(OutPortTest, ConcurrentSendsNeverOverlap) {
    ASSERT_EQ(port.open(0), 1);
    constexpr int PerThread = 100;
    auto sendAll = [&](std::uint8_t fill) {
        for (int i = 0; i < PerThread; ++i) {
            Bytes message = sysex(16 + i % 7, fill);
            message[1] = static_cast<std::uint8_t>(i);
            EXPECT_EQ(sendSysex(port, message.data(), message.size()), 0);
        }
    };
    std::thread worker(sendAll, 0x11);
    std::thread timer(sendAll, 0x22);
    worker.join();
    timer.join();

    EXPECT_FALSE(service.overlapped());
    const auto received = peerA.messages();
    ASSERT_EQ(received.size(), 2u * PerThread);
    int next[2] = {0, 0};
    for (const Bytes& m : received) {
        ASSERT_GE(m.size(), 3u);
        const int sender = m[2] == 0x11 ? 0 : 1;
        EXPECT_EQ(m[1], next[sender]++) << "each thread's messages arrive whole and in order";
        EXPECT_EQ(m, [&] {
            Bytes expect = sysex(16 + m[1] % 7, m[2]);
            expect[1] = m[1];
            return expect;
        }());
    }
}

// The port keeps MaxNameLength bytes of name; the cut must never split a
// multibyte character, and a device the platform cannot describe is nameless.
TEST(OutPortNameTest, NamesAreCutAtCharacterBoundaries) {
    constexpr int L = MidiOutPort::MaxNameLength;
    const std::string full(L, 'a');
    struct Case {
        std::string name;
        std::string expected;
    } cases[] = {
        {"Q4m Port", "Q4m Port"},
        {full, full},
        {full + "b", full},
        {std::string(L - 1, 'a') + "\xC3\xA9", std::string(L - 1, 'a')},      // 2-byte at the cut
        {std::string(L - 2, 'a') + "\xE2\x82\xAC", std::string(L - 2, 'a')},  // 3-byte at the cut
        {std::string(L - 3, 'a') + "\xF0\x9F\x98\x80",
         std::string(L - 3, 'a')},  // 4-byte at the cut
        {std::string(L - 4, 'a') + "\xF0\x9F\x98\x80",
         std::string(L - 4, 'a') + "\xF0\x9F\x98\x80"},
        {"", ""},
    };
    VirtualMidiService service;
    for (const Case& c : cases) service.addOutputDevice(c.name);
    MidiOutPort port(service, 1s);
    for (int i = 0; i < static_cast<int>(std::size(cases)); ++i) {
        char name[MidiOutPort::NameCapacity];
        std::fill(std::begin(name), std::end(name), 'x');
        port.deviceName(i, name);
        EXPECT_EQ(std::string(name), cases[i].expected) << "case " << i;
    }

    service.setNameless(false, 0, true);
    char name[MidiOutPort::NameCapacity] = "stale";
    port.deviceName(0, name);
    EXPECT_STREQ(name, "");
    port.deviceName(99, name);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(port.deviceCount(), static_cast<int>(std::size(cases)));
}

}  // namespace
}  // namespace q4m::midi
