// One MIDI input device whose received SysEx buffers are kept, in arrival
// order, in the InboundQueue until the reply dispatcher takes them.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "midi/platform.h"

namespace q4m::midi {

class MidiInPort {
  public:
    static constexpr std::uint32_t ReceiveBufferSize = 8192;
    static constexpr int NameCapacity = 40;
    static constexpr int MaxNameLength = PortNameLimit;

    explicit MidiInPort(MidiService& service);
    ~MidiInPort();
    MidiInPort(const MidiInPort&) = delete;
    MidiInPort& operator=(const MidiInPort&) = delete;

    int deviceCount();
    void deviceName(int index, char* name);  // as MidiOutPort::deviceName

    void setDeviceIndex(int index) { deviceIndex_ = index; }
    int deviceIndex() const { return deviceIndex_; }
    bool isStarted() const { return started_; }

    int start();  // 1 when input runs on deviceIndex, 0 on failure
    void stop();

    // The oldest entry's bytes (with their count), empty when none; valid until popMessage.
    std::span<const std::uint8_t> frontMessage();
    void popMessage();

    static void onMidiInput(MidiHandle handle, std::uint32_t message, std::uintptr_t instance,
                            std::uintptr_t param1, std::uintptr_t param2);

  private:
    bool closeDevice();  // true when the device is closed and holds nothing of ours
    void releaseBuffer();

    // What the input callback reaches through its instance value: the queue,
    // and the service to lend the buffer again. It lives apart from the port
    // so that, should the platform refuse to close the device, it can be left
    // behind with the buffer rather than leave the platform a callback that
    // points at freed memory.
    //
    // Sharing: one producer (the service's input thread, in onMidiInput) and
    // one consumer (the dispatcher). mutex is held only for the O(1)
    // push_back and pop_front; an entry's bytes are complete before it is
    // pushed. deque keeps element addresses stable across push_back, so the
    // front entry's bytes stay valid while the producer appends.
    struct Inbox {
        explicit Inbox(MidiService& s) : service(s) {}
        MidiService& service;
        std::mutex mutex;
        std::deque<std::vector<std::uint8_t>> queue;
    };

    MidiService& service_;
    std::unique_ptr<Inbox> inbox_;
    MidiHandle handle_ = nullptr;
    std::unique_ptr<MidiHeader> header_;
    std::unique_ptr<std::uint8_t[]> receiveBuffer_;
    int deviceIndex_ = 0;
    bool started_ = false;
};

}  // namespace q4m::midi
