// An in-process MIDI service with named virtual devices, so every path can run
// without hardware. A peer (a test, the device simulator) receives each whole
// message sent to a virtual output device and sends bytes back that reach the
// host's input callback on a thread of the service, in the lent receive buffer,
// chunked as a platform would: the buffer is returned when a message ends
// (0xF7) or when it is full; a reset returns it with no bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "midi/platform.h"

namespace q4m::midi {

class VirtualMidiService : public MidiService {
public:
    // Called on a thread of the service with each whole message the host sent.
    using Receiver = std::function<void(std::span<const std::uint8_t>)>;

    VirtualMidiService();
    ~VirtualMidiService() override;

    // Devices, numbered in the order they are added (separately for in and out).
    // Each addition is announced to the port watcher, on the adding thread.
    int addOutputDevice(std::string name, Receiver receiver = {});
    void setReceiver(int outIndex, Receiver receiver);
    int addInputDevice(std::string name);

    // Peer side: bytes that arrive at input device inIndex, in order. Bytes sent
    // while the device is closed or not started are dropped, as on a real port.
    void sendToHost(int inIndex, std::span<const std::uint8_t> bytes);

    // Wire model: bytes per millisecond, 0 = instant (both directions).
    void setWireRate(double bytesPerMs);
    // Failure injection.
    void setRefuseOpen(bool input, int index, bool refuse);
    void setRefuseSend(int outIndex, bool refuse);
    // Sends are accepted, then fail on the wire (MhdrError), as when a device
    // is unplugged mid-send.
    void setFailWrites(int outIndex, bool fail);
    void setNameless(bool input, int index, bool nameless);

    // Blocks until everything sent to the host so far has been delivered.
    void flushInput(int inIndex);

    // MidiService
    int inDeviceCount() override;
    MmResult inDeviceName(int index, std::string& name) override;
    MmResult inOpen(MidiHandle* handle, int index, MidiInCallback callback,
                    std::uintptr_t instance) override;
    MmResult inPrepareHeader(MidiHandle handle, MidiHeader* header) override;
    MmResult inUnprepareHeader(MidiHandle handle, MidiHeader* header) override;
    MmResult inAddBuffer(MidiHandle handle, MidiHeader* header) override;
    MmResult inStart(MidiHandle handle) override;
    MmResult inStop(MidiHandle handle) override;
    MmResult inReset(MidiHandle handle) override;
    MmResult inClose(MidiHandle handle) override;
    int outDeviceCount() override;
    MmResult outDeviceName(int index, std::string& name) override;
    MmResult outOpen(MidiHandle* handle, int index) override;
    MmResult outClose(MidiHandle handle) override;
    MmResult outPrepareHeader(MidiHandle handle, MidiHeader* header) override;
    MmResult outUnprepareHeader(MidiHandle handle, MidiHeader* header) override;
    MmResult outLongMsg(MidiHandle handle, MidiHeader* header) override;
    MmResult outReset(MidiHandle handle) override;
    std::string errorText(MmResult result) override;
    bool watchPorts(PortsChangedFn changed) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace q4m::midi
