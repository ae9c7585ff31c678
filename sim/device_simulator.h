// A software model of the device's side of the SysEx protocol: it answers the
// updater's requests from a simulated 1 MiB NOR flash and can misbehave on
// purpose (lost or damaged messages, error replies, delays, unsolicited
// messages, a power cut), repeatably for a given seed.
//
// Threads: receive() may be called from any thread; requests are handled one
// at a time, in the order they get the internal lock. Replies leave through the
// sender in the order the requests were handled:
//  - latency 0: on the thread that called receive(), before it returns, unless
//    another thread is sending at that moment (that thread then sends them);
//  - latency > 0: from a thread of the simulator's own, each once it is due.
// The sender is never called twice at once and may call receive() itself.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device_messages.h"
#include "sim/flash_memory.h"
#include "sim/outbox.h"

namespace q4m::midi {
class VirtualMidiService;
}

namespace q4m::sim {

// Which requests the fault model may hit.
enum class FaultScope {
    // Only where the updater recovers: lost replies to block writes (it sends
    // the block again), error replies to block writes and erases (sent again),
    // damaged block writes. A run with moderate probabilities still completes.
    Recoverable,
    // Lost replies and error replies for every request the updater waits for.
    AllRequests,
};

struct SimConfig {
    std::array<std::uint8_t, 4> identity{0x3C, 0x00, 0x02, 0x00};
    std::string revision = "1.00";  // software revision in the IdentityReply
    std::string bootStamp = "0.90";
    bool updateMode = true;  // false: the normal firmware runs and refuses updates
    // A maker-specific request whose model byte is not identity[0] is not for
    // this device and goes unanswered, which shows up a host sending the wrong one.
    bool checkModelByte = true;

    double dropProbability = 0;     // a reply is lost on its way to the host
    double corruptProbability = 0;  // a block write is damaged on its way in
    double errorProbability = 0;    // the device answers with an error instead of acting
    std::uint8_t injectedErrorStatus = static_cast<std::uint8_t>(Status::Injected);
    FaultScope faultScope = FaultScope::Recoverable;
    std::uint64_t seed = 1;
    std::chrono::milliseconds latency{0};  // delay before each message the device sends
    // A reply to a request comes this much later than usual (a slow flash, a
    // busy hub): past the updater's time limit when lateDelay exceeds it. The
    // replies after it wait behind it, as a device answers in order. Drawn from
    // a stream of its own, so a seed's other faults stay as they were.
    double lateProbability = 0;
    std::chrono::milliseconds lateDelay{1500};

    bool chatter = false;       // send unsolicited messages now and then
    double chatterRate = 0.25;  // chance of one after each request handled
    // 0 = never. Otherwise the Nth message received is the last one acted on
    // (and answered); from the next one on the device is dead: it neither acts
    // nor answers nor chatters. The flash keeps what was written until then.
    int powerCutAfter = 0;

    bool recordTranscript = true;
};

struct TranscriptEntry {
    enum class Direction { ToDevice, ToHost };
    std::chrono::steady_clock::time_point time;
    Direction direction;
    Bytes bytes;
    // ToHost: the reply was dropped on the wire and never reached the sender.
    // ToDevice: the device was already without power and never saw it.
    bool lost = false;
};

struct SimCounters {
    int messagesReceived = 0;  // every message handed to receive()
    int messagesIgnored = 0;   // not for this device, not a request, or after the power cut
    int requestsHandled = 0;
    int blocksWritten = 0;
    int blocksOverUnerased = 0;  // written where some bit was already 0
    int crcFailures = 0;
    int blocksCorrupted = 0;  // by the fault model
    int erases = 0;
    int reads = 0;
    int errorReplies = 0;  // every StatusMessage with a nonzero status
    int injectedErrors = 0;
    int repliesDropped = 0;
    int chatterSent = 0;
    int repliesLate = 0;
    bool powerCut = false;
};

class DeviceSimulator {
  public:
    static constexpr std::uint32_t FlashSize = FlashMemory::Size;
    static constexpr std::uint32_t BootStampAddress = 0x22FFC;
    using Sender = std::function<void(std::vector<std::uint8_t>)>;

    explicit DeviceSimulator(SimConfig config = {});
    ~DeviceSimulator();
    DeviceSimulator(const DeviceSimulator&) = delete;
    DeviceSimulator& operator=(const DeviceSimulator&) = delete;

    const SimConfig& config() const { return config_; }

    // Where the device's messages go. Set it before the first receive().
    void setSender(Sender sender);
    // One whole message from the host.
    void receive(std::span<const std::uint8_t> message);
    // True once every message the device has produced so far has been sent.
    bool waitIdle(std::chrono::milliseconds limit);

    // Flash access for tests and tools; not part of the protocol.
    std::vector<std::uint8_t> flashCopy() const;
    void setFlash(std::span<const std::uint8_t> image);  // ignored unless FlashSize bytes
    bool loadFlash(const std::string& path, std::string* error);
    bool saveFlash(const std::string& path, std::string* error) const;
    // Four characters at BootStampAddress, overwritten as the factory would.
    void writeBootStamp(std::string_view stamp);

    std::vector<TranscriptEntry> transcript() const;
    SimCounters counters() const;
    bool updating() const;

    // Connects the device to a virtual MIDI service as an output device (the
    // host sends to it) and an input device (the host hears it), both named
    // name. The service must outlive the simulator; the simulator stops
    // listening when destroyed.
    struct MidiPorts {
        int outIndex;
        int inIndex;
    };
    MidiPorts attach(midi::VirtualMidiService& service, std::string name = "VEXA Q Series");

  private:
    struct Request;
    static const Request* findRequest(std::uint8_t command);
    void handle(std::span<const std::uint8_t> message);
    void handleIdentityRequest();
    void handleMaker(std::span<const std::uint8_t> message);
    void handleRequest(const Request& request, std::span<const std::uint8_t> message);
    void onBeginUpdate(std::span<const std::uint8_t> m, std::uint8_t model);
    void onWriteBlock(std::span<const std::uint8_t> m, std::uint8_t model);
    void onEndUpdate(std::span<const std::uint8_t> m, std::uint8_t model);
    void onErase(std::span<const std::uint8_t> m, std::uint8_t model);
    void onRead(std::span<const std::uint8_t> m, std::uint8_t model);
    void reply(Bytes message, bool mayDrop);
    void replyStatus(Status status, std::uint8_t model, bool mayDrop);
    bool chance(double probability);
    void drawLate();
    std::optional<Bytes> planChatter(bool* before);
    void record(TranscriptEntry::Direction direction, const Bytes& bytes, bool lost);

    const SimConfig config_;
    mutable std::mutex mutex_;  // device state, flash, counters, random engines
    FlashMemory flash_;
    bool updating_ = false;
    SimCounters counters_;
    std::mt19937_64 faultRandom_;
    std::mt19937_64 chatterRandom_;  // its own stream, so chatter leaves the faults unchanged
    std::mt19937_64 lateRandom_;     // likewise for late replies
    bool dropThis_ = false;          // the replies to the request being handled get lost
    bool lateThis_ = false;          // ... or come late

    mutable std::mutex transcriptMutex_;
    std::vector<TranscriptEntry> transcript_;

    std::function<void()> detach_;  // set by attach()
    Outbox outbox_;                 // last: its thread stops before the rest goes
};

}  // namespace q4m::sim
