// The simulator across threads: delayed replies from its own thread, requests
// from several threads at once, and the device on a virtual MIDI service.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "midi/virtual/virtual_midi.h"
#include "tests/sim/harness.h"

namespace q4m::sim::test {
namespace {

using namespace std::chrono_literals;
constexpr auto Generous = 20s;

TEST(DeviceSimulatorThreads, LatencyDelaysRepliesInOrderFromItsOwnThread) {
    SimConfig config;
    config.latency = 15ms;
    config.bootStamp = "1.00";
    DeviceSimulator sim(config);
    std::mutex mutex;
    std::vector<Bytes> got;
    std::vector<std::thread::id> senders;
    sim.setSender([&](Bytes m) {
        std::lock_guard lock(mutex);
        got.push_back(std::move(m));
        senders.push_back(std::this_thread::get_id());
    });
    const std::vector<Bytes> requests = {identityRequest(), beginUpdate(), readRequest(0x22FFC, 4),
                                         endUpdate()};
    for (const auto& r : requests) sim.receive(r);
    ASSERT_TRUE(sim.waitIdle(Generous));

    std::lock_guard lock(mutex);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0][4], 0x02);  // IdentityReply
    EXPECT_EQ(got[1], status(Status::Ok));
    Bytes stamp;
    EXPECT_TRUE(decodeReadReply(got[2], stamp));
    EXPECT_EQ(stamp, Bytes({'1', '.', '0', '0'}));
    EXPECT_EQ(got[3], status(Status::Ok));
    for (auto id : senders) EXPECT_NE(id, std::this_thread::get_id());

    // No answer leaves before its request's time plus the latency. (Requests
    // and answers may interleave in the transcript on a slow machine.)
    std::vector<TranscriptEntry> requestsSeen, answers;
    for (const auto& e : sim.transcript())
        (e.direction == TranscriptEntry::Direction::ToDevice ? requestsSeen : answers).push_back(e);
    ASSERT_EQ(requestsSeen.size(), 4u);
    ASSERT_EQ(answers.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(requestsSeen[i].bytes, requests[i]);
        EXPECT_EQ(answers[i].bytes, got[i]);
        EXPECT_GE(answers[i].time - requestsSeen[i].time, config.latency);
    }
}

// Late replies leave from the simulator's thread and everything after one
// waits behind it, whether it was sent inline (no latency) or not: a device
// answers in order. Reads of 1 to 4 bytes tell the replies apart.
TEST(DeviceSimulatorThreads, LateRepliesKeepTheirOrder) {
    SimConfig config;
    config.lateProbability = 0.3;
    config.lateDelay = 5ms;
    config.seed = 3;
    Rig rig(config);
    std::vector<std::uint32_t> lengths;
    for (std::uint32_t i = 0; i < 40; ++i) {
        lengths.push_back(i % 4 + 1);
        rig.sim.receive(readRequest(0x22FFC, lengths.back()));
    }
    ASSERT_TRUE(rig.sim.waitIdle(Generous));
    const auto got = rig.received();
    ASSERT_EQ(got.size(), lengths.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        Bytes data;
        ASSERT_TRUE(decodeReadReply(got[i], data));
        EXPECT_EQ(data.size(), lengths[i]) << i;
    }
    EXPECT_GT(rig.sim.counters().repliesLate, 0);
}

// Destroying the simulator does not wait for answers that are not yet due.
TEST(DeviceSimulatorThreads, DestructionDropsAnswersNotYetDue) {
    std::atomic<int> sent{0};
    {
        SimConfig config;
        config.latency = std::chrono::hours(1);
        DeviceSimulator sim(config);
        sim.setSender([&](Bytes) { ++sent; });
        sim.receive(identityRequest());
    }
    EXPECT_EQ(sent.load(), 0);
}

TEST(DeviceSimulatorThreads, RequestsFromSeveralThreadsAreEachAnsweredOnce) {
    for (auto latency : {0ms, 1ms}) {
        SCOPED_TRACE(latency.count());
        SimConfig config;
        config.latency = latency;
        config.chatter = true;
        Rig rig(config);
        rig.sim.receive(beginUpdate());
        constexpr int PerThread = 150;
        auto worker = [&](std::uint32_t base) {
            for (int i = 0; i < PerThread; ++i) {
                const auto address = base + 16 * static_cast<std::uint32_t>(i);
                rig.sim.receive(writeBlock(address, Bytes(16, static_cast<std::uint8_t>(i))));
                rig.sim.receive(readRequest(address, 16));
            }
        };
        std::thread a(worker, 0x40000), b(worker, 0x80000);
        a.join();
        b.join();
        ASSERT_TRUE(rig.sim.waitIdle(Generous));
        const auto counters = rig.sim.counters();
        EXPECT_EQ(counters.blocksWritten, 2 * PerThread);
        EXPECT_EQ(counters.reads, 2 * PerThread);
        EXPECT_EQ(rig.received().size(),
                  static_cast<std::size_t>(1 + 4 * PerThread + counters.chatterSent));
    }
}

// The host's side, spoken through the platform interface as the ports do.
class HostEnd {
  public:
    explicit HostEnd(midi::VirtualMidiService& service) : service_(service) {}
    ~HostEnd() {
        if (in_) {
            service_.inReset(in_);
            service_.inUnprepareHeader(in_, &inHeader_);
            service_.inClose(in_);
        }
        if (out_) service_.outClose(out_);
    }

    bool open(int inIndex, int outIndex) {
        if (service_.inOpen(&in_, inIndex, &HostEnd::onInput,
                            reinterpret_cast<std::uintptr_t>(this)) != midi::MmOk)
            return false;
        inHeader_.data = buffer_.data();
        inHeader_.bufferLength = static_cast<std::uint32_t>(buffer_.size());
        return service_.inPrepareHeader(in_, &inHeader_) == midi::MmOk &&
               service_.inAddBuffer(in_, &inHeader_) == midi::MmOk &&
               service_.inStart(in_) == midi::MmOk &&
               service_.outOpen(&out_, outIndex) == midi::MmOk;
    }

    bool send(Bytes message) {
        midi::MidiHeader header;
        header.data = message.data();
        header.bufferLength = static_cast<std::uint32_t>(message.size());
        if (service_.outPrepareHeader(out_, &header) != midi::MmOk ||
            service_.outLongMsg(out_, &header) != midi::MmOk)
            return false;
        const auto deadline = std::chrono::steady_clock::now() + Generous;
        while (!(header.flags.load() & midi::MhdrDone)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return service_.outUnprepareHeader(out_, &header) == midi::MmOk;
    }

    // Every whole message received so far, once count of them have arrived.
    std::vector<Bytes> waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, Generous, [&] { return messages_.size() >= count; });
        return messages_;
    }

  private:
    static void onInput(midi::MidiHandle, std::uint32_t message, std::uintptr_t instance,
                        std::uintptr_t param1, std::uintptr_t) {
        if (message != midi::MimLongData) return;
        auto* self = reinterpret_cast<HostEnd*>(instance);
        auto* header = reinterpret_cast<midi::MidiHeader*>(param1);
        {
            std::lock_guard lock(self->mutex_);
            auto& partial = self->partial_;
            partial.insert(partial.end(), header->data, header->data + header->bytesRecorded);
            if (!partial.empty() && partial.back() == 0xF7) {
                self->messages_.push_back(std::move(partial));
                partial.clear();
            }
        }
        self->arrived_.notify_all();
        if (header->bytesRecorded > 0) self->service_.inAddBuffer(self->in_, header);
    }

    midi::VirtualMidiService& service_;
    midi::MidiHandle in_ = nullptr;
    midi::MidiHandle out_ = nullptr;
    std::array<std::uint8_t, 8192> buffer_{};
    midi::MidiHeader inHeader_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    Bytes partial_;
    std::vector<Bytes> messages_;
};

TEST(DeviceSimulatorMidi, AnswersThroughTheVirtualService) {
    midi::VirtualMidiService service;
    service.addOutputDevice("Other Synth");
    SimConfig config;
    config.bootStamp = "1.00";
    config.latency = 2ms;
    DeviceSimulator sim(config);
    const auto ports = sim.attach(service);

    std::string name;
    ASSERT_EQ(service.outDeviceName(ports.outIndex, name), midi::MmOk);
    EXPECT_EQ(name, "VEXA Q Series");
    ASSERT_EQ(service.inDeviceName(ports.inIndex, name), midi::MmOk);
    EXPECT_EQ(name, "VEXA Q Series");
    EXPECT_EQ(ports.outIndex, 1);

    HostEnd host(service);
    ASSERT_TRUE(host.open(ports.inIndex, ports.outIndex));
    ASSERT_TRUE(host.send(identityRequest()));
    ASSERT_TRUE(host.send(beginUpdate()));
    const Bytes data(4096, 0x5A);
    ASSERT_TRUE(host.send(writeBlock(0x40000, data)));
    ASSERT_TRUE(host.send(readRequest(0x22FFC, 4)));

    const auto got = host.waitFor(4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], Bytes({0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, 0x3C, 0x00, 0x02, 0x00, 0x31, 0x2E,
                             0x30, 0x30, 0xF7}));
    EXPECT_EQ(got[1], status(Status::Ok));
    EXPECT_EQ(got[2], status(Status::Ok));
    Bytes stamp;
    EXPECT_TRUE(decodeReadReply(got[3], stamp));
    EXPECT_EQ(stamp, Bytes({'1', '.', '0', '0'}));
    const auto flash = sim.flashCopy();
    EXPECT_EQ(Bytes(flash.begin() + 0x40000, flash.begin() + 0x41000), data);
}

}  // namespace
}  // namespace q4m::sim::test
