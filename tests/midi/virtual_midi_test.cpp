// The virtual service stands in for the platform in every other test, so its
// own contract is pinned down here against raw calls.
#include "midi/virtual/virtual_midi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "tests/midi/midi_test_support.h"

namespace q4m::midi {
namespace {

using test::Bytes;
using test::eventually;
using test::sysex;

void describe(MidiHeader& header, Bytes& bytes) {
    header.data = bytes.data();
    header.bufferLength = static_cast<std::uint32_t>(bytes.size());
}

TEST(VirtualOutputTest, PeerGetsTheWholeMessageBeforeTheHeaderIsDone) {
    VirtualMidiService service;
    Bytes message = sysex(20, 0x21);
    MidiHeader header;
    describe(header, message);
    std::atomic<bool> doneWhenReceived{true};
    std::atomic<int> received{0};
    service.addOutputDevice("Out", [&](std::span<const std::uint8_t> m) {
        doneWhenReceived = (header.flags.load() & MhdrDone) != 0;
        EXPECT_TRUE(std::equal(m.begin(), m.end(), message.begin(), message.end()));
        ++received;
    });
    service.setWireRate(2.0);
    MidiHandle out = nullptr;
    ASSERT_EQ(service.outOpen(&out, 0), MmOk);
    EXPECT_EQ(service.outOpen(&out, 0), MmAllocated);
    EXPECT_EQ(service.outLongMsg(out, &header), MidiUnprepared);
    ASSERT_EQ(service.outPrepareHeader(out, &header), MmOk);
    ASSERT_EQ(service.outLongMsg(out, &header), MmOk);
    ASSERT_TRUE(eventually([&] { return (header.flags.load() & MhdrDone) != 0; }));
    EXPECT_EQ(received, 1);
    EXPECT_FALSE(doneWhenReceived);
    EXPECT_EQ(service.outUnprepareHeader(out, &header), MmOk);
    EXPECT_EQ(service.outClose(out), MmOk);
}

TEST(VirtualOutputTest, ResetHandsAnAbandonedSendBackAndThePeerGetsNothing) {
    VirtualMidiService service;
    std::atomic<int> received{0};
    service.addOutputDevice("Out", [&](auto) { ++received; });
    service.setWireRate(1e-6);
    MidiHandle out = nullptr;
    ASSERT_EQ(service.outOpen(&out, 0), MmOk);
    Bytes message = sysex(4, 0x01);
    MidiHeader header;
    describe(header, message);
    ASSERT_EQ(service.outPrepareHeader(out, &header), MmOk);
    ASSERT_EQ(service.outLongMsg(out, &header), MmOk);
    EXPECT_EQ(service.outUnprepareHeader(out, &header), MidiStillPlaying);
    EXPECT_EQ(service.outClose(out), MidiStillPlaying);

    ASSERT_EQ(service.outReset(out), MmOk);
    EXPECT_EQ(header.flags.load() & (MhdrDone | MhdrInQueue), MhdrDone);
    EXPECT_EQ(service.outUnprepareHeader(out, &header), MmOk);
    EXPECT_EQ(service.outClose(out), MmOk);
    EXPECT_EQ(received, 0);
}

TEST(VirtualOutputTest, InjectedFailures) {
    VirtualMidiService service;
    service.addOutputDevice("Out");
    service.addInputDevice("In");
    std::string name;
    service.setNameless(false, 0, true);
    EXPECT_NE(service.outDeviceName(0, name), MmOk);
    EXPECT_NE(service.inDeviceName(5, name), MmOk);

    MidiHandle handle = nullptr;
    service.setRefuseOpen(false, 0, true);
    EXPECT_NE(service.outOpen(&handle, 0), MmOk);
    service.setRefuseOpen(true, 0, true);
    EXPECT_NE(
        service.inOpen(
            &handle, 0,
            [](MidiHandle, std::uint32_t, std::uintptr_t, std::uintptr_t, std::uintptr_t) {}, 0),
        MmOk);

    service.setRefuseOpen(false, 0, false);
    service.setRefuseSend(0, true);
    ASSERT_EQ(service.outOpen(&handle, 0), MmOk);
    Bytes message = sysex(1, 0x01);
    MidiHeader header;
    describe(header, message);
    ASSERT_EQ(service.outPrepareHeader(handle, &header), MmOk);
    EXPECT_NE(service.outLongMsg(handle, &header), MmOk);
    EXPECT_FALSE(header.flags.load() & MhdrInQueue);
    EXPECT_EQ(service.outUnprepareHeader(handle, &header), MmOk);
    EXPECT_EQ(service.outClose(handle), MmOk);
}

// Records every buffer the service returns; re-lends it when asked to, as the
// input port does.
struct InputLog {
    VirtualMidiService* service = nullptr;
    bool relend = false;
    std::mutex mutex;
    std::vector<Bytes> returned;
    std::vector<std::uint32_t> flags;

    static void callback(MidiHandle handle, std::uint32_t message, std::uintptr_t instance,
                         std::uintptr_t param1, std::uintptr_t) {
        if (message != MimLongData) return;
        auto* log = reinterpret_cast<InputLog*>(instance);
        auto* header = reinterpret_cast<MidiHeader*>(param1);
        {
            std::lock_guard lock(log->mutex);
            log->returned.emplace_back(header->data, header->data + header->bytesRecorded);
            log->flags.push_back(header->flags.load(std::memory_order_acquire));
        }
        if (log->relend && header->bytesRecorded > 0) log->service->inAddBuffer(handle, header);
    }
    std::vector<Bytes> taken() {
        std::lock_guard lock(mutex);
        return returned;
    }
};

class VirtualInputTest : public ::testing::Test {
  protected:
    VirtualInputTest() {
        service.addInputDevice("In");
        log.service = &service;
        header.data = buffer.data();
        header.bufferLength = static_cast<std::uint32_t>(buffer.size());
    }
    void openAndStart() {
        ASSERT_EQ(
            service.inOpen(&in, 0, &InputLog::callback, reinterpret_cast<std::uintptr_t>(&log)),
            MmOk);
        ASSERT_EQ(service.inStart(in), MmOk);
    }
    void lend() {
        ASSERT_EQ(service.inPrepareHeader(in, &header), MmOk);
        ASSERT_EQ(service.inAddBuffer(in, &header), MmOk);
    }
    void closeDown() {
        ASSERT_EQ(service.inReset(in), MmOk);
        ASSERT_EQ(service.inUnprepareHeader(in, &header), MmOk);
        ASSERT_EQ(service.inClose(in), MmOk);
    }
    InputLog log;
    Bytes buffer = Bytes(16);
    MidiHeader header;
    VirtualMidiService service;  // destroyed first: its threads end before the log goes
    MidiHandle in = nullptr;
};

TEST_F(VirtualInputTest, BytesWaitForALentBufferAndFillItByMessage) {
    service.setWireRate(5.0);
    log.relend = true;
    openAndStart();
    MidiHandle second = nullptr;
    EXPECT_EQ(service.inOpen(&second, 0, &InputLog::callback, 0), MmAllocated);

    const Bytes shortOne = sysex(2, 0x11);
    const Bytes longOne = sysex(20, 0x22);  // 22 bytes: a full buffer, then 6
    Bytes both = shortOne;
    both.insert(both.end(), longOne.begin(), longOne.end());
    service.sendToHost(0, both);  // no buffer yet: the bytes wait
    lend();
    service.flushInput(0);

    const auto returned = log.taken();
    ASSERT_EQ(returned.size(), 3u);
    EXPECT_EQ(returned[0], shortOne);
    EXPECT_EQ(returned[1], Bytes(longOne.begin(), longOne.begin() + 16));
    EXPECT_EQ(returned[2], Bytes(longOne.begin() + 16, longOne.end()));
    for (std::uint32_t f : log.flags) EXPECT_EQ(f & (MhdrDone | MhdrInQueue), MhdrDone);
    closeDown();
}

TEST_F(VirtualInputTest, BytesOfAStoppedDeviceAreDroppedAndResetReturnsTheBufferEmpty) {
    service.sendToHost(0, sysex(1, 0x01));  // not open
    openAndStart();
    lend();
    ASSERT_EQ(service.inStop(in), MmOk);
    service.sendToHost(0, sysex(1, 0x02));  // open, not started
    service.flushInput(0);
    EXPECT_TRUE(log.taken().empty());
    EXPECT_EQ(service.inClose(in), MidiStillPlaying) << "a buffer is still lent";

    ASSERT_EQ(service.inReset(in), MmOk);
    ASSERT_EQ(log.taken(), std::vector<Bytes>{Bytes{}});
    EXPECT_EQ(log.flags[0] & (MhdrDone | MhdrInQueue), MhdrDone);
    EXPECT_EQ(service.inUnprepareHeader(in, &header), MmOk);
    EXPECT_EQ(service.inClose(in), MmOk);
}

}  // namespace
}  // namespace q4m::midi
