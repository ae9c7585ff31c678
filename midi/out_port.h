// One MIDI output device that sends whole SysEx messages and returns only when
// the platform is done with each.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "midi/platform.h"

namespace q4m::midi {

class MidiOutPort {
  public:
    static constexpr int NameCapacity = 40;  // caller's buffer for deviceName
    static constexpr int MaxNameLength = PortNameLimit;

    // sendLimit: how long sendLong waits for the platform's done flag.
    MidiOutPort(MidiService& service, std::chrono::milliseconds sendLimit);
    ~MidiOutPort();
    MidiOutPort(const MidiOutPort&) = delete;
    MidiOutPort& operator=(const MidiOutPort&) = delete;

    int deviceCount();
    // At most MaxNameLength bytes, NUL-terminated, never cutting a UTF-8 character; empty
    // when the platform cannot describe the device.
    void deviceName(int index, char* name);

    int open(int index);               // 1 when open on index afterwards, else 0
    int close();                       // 1 when a device was open and is now closed, else 0
    int sendLong(MidiHeader* header);  // 1 sent, 0 not

    int deviceIndex() const;
    bool isOpen() const;

  private:
    MidiService& service_;
    const std::chrono::milliseconds sendLimit_;
    // Sharing: open/close on the UI thread, sendLong on the worker and timer
    // threads. sendMutex_ is held over a whole sendLong and over the handle
    // change in open/close, so sends never interleave and close never takes the
    // device from a send in progress (close first resets the device, which ends
    // a waiting send at once).
    mutable std::mutex sendMutex_;
    MidiHandle handle_ = nullptr;
    int deviceIndex_ = 0;
    // Set while close ends sends in progress, so that a send the reset cut
    // short reports 0 rather than success.
    std::atomic<bool> closing_{false};
};

// The owner's send primitive over its port: 0 sent, -1 not.
int sendSysex(MidiOutPort& port, const std::uint8_t* bytes, std::uint32_t length);

}  // namespace q4m::midi
