// One MIDI output device that sends whole SysEx messages and returns only when
// the platform is done with each.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "midi/platform.h"

namespace q4m::midi {

class MidiOutPort {
  public:
    static constexpr int NameCapacity = 40;  // caller's buffer for deviceName
    static constexpr int MaxNameLength = PortNameLimit;

    // sendLimit: how long sendLong waits for the platform's done flag.
    // closeGrace: how long close lets a message already on the wire finish
    // before it cuts it off.
    MidiOutPort(MidiService& service, std::chrono::milliseconds sendLimit,
                std::chrono::milliseconds closeGrace = std::chrono::milliseconds(800));
    ~MidiOutPort();
    MidiOutPort(const MidiOutPort&) = delete;
    MidiOutPort& operator=(const MidiOutPort&) = delete;

    int deviceCount();
    // At most MaxNameLength bytes, NUL-terminated, never cutting a UTF-8 character; empty
    // when the platform cannot describe the device.
    void deviceName(int index, char* name);

    int open(int index);  // 1 when open on index afterwards, else 0
    // 1 when a device was open and is now closed, else 0. A message being sent
    // may finish within closeGrace; then the device is reset.
    int close();
    // 1 sent, 0 not. A header the platform never gave back (0) is the
    // platform's from then on: the caller must not free or reuse it.
    int sendLong(MidiHeader* header);
    // Sends a copy of the message from the port's own buffer, so that the
    // caller's bytes are never lent to the platform. 1 sent, 0 not.
    int sendMessage(const std::uint8_t* bytes, std::uint32_t length);

    int deviceIndex() const;
    bool isOpen() const;

  private:
    // Sized for the engine's largest message; grows only for a larger one.
    static constexpr std::uint32_t InitialCapacity = 65536;
    struct Outgoing {
        std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(InitialCapacity);
        MidiHeader header;
    };
    int sendLocked(MidiHeader* header);

    MidiService& service_;
    const std::chrono::milliseconds sendLimit_;
    const std::chrono::milliseconds closeGrace_;
    // Sharing: open/close on the UI thread, sends on the worker and timer
    // threads. sendMutex_ is held over a whole send and over the handle change
    // in open/close, so sends never interleave and close never takes the device
    // from a send in progress. close first marks closing_ (no new send starts),
    // tries the lock for up to closeGrace, and only then resets the device
    // without the lock, which ends a waiting send at once. (A plain mutex
    // tried in a loop: ThreadSanitizer does not follow timed mutex waits.)
    mutable std::mutex sendMutex_;
    MidiHandle handle_ = nullptr;
    int deviceIndex_ = 0;
    std::atomic<bool> closing_{false};
    // Set when close had to reset a send in progress, so that it reports 0.
    std::atomic<bool> cutByClose_{false};
    // Lent to the platform for each sendMessage; under sendMutex_. Given up
    // (never freed) if the platform keeps it, and the port then refuses to
    // send until it is opened again, which allocates a new one.
    std::unique_ptr<Outgoing> outgoing_;
    bool outgoingLost_ = false;
};

// The owner's send primitive over its port: 0 sent, -1 not.
int sendSysex(MidiOutPort& port, const std::uint8_t* bytes, std::uint32_t length);

}  // namespace q4m::midi
