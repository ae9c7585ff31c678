// The simulator's only contact with MIDI, kept apart so that the core builds
// and tests without any MIDI service.
#include <memory>
#include <mutex>

#include "midi/virtual/virtual_midi.h"
#include "sim/device_simulator.h"

namespace q4m::sim {

namespace {
// The service calls its receiver without a lock of its own, so a call may be
// under way while the simulator is destroyed. The link is what the receiver
// holds: cutting it waits for a call in progress, and later calls find nobody.
struct Link {
    std::mutex mutex;
    DeviceSimulator* device;
};
}  // namespace

DeviceSimulator::MidiPorts DeviceSimulator::attach(midi::VirtualMidiService& service,
                                                   std::string name) {
    MidiPorts ports{};
    ports.inIndex = service.addInputDevice(name);
    const int in = ports.inIndex;
    setSender([&service, in](std::vector<std::uint8_t> bytes) { service.sendToHost(in, bytes); });

    auto link = std::make_shared<Link>();
    link->device = this;
    ports.outIndex =
        service.addOutputDevice(std::move(name), [link](std::span<const std::uint8_t> message) {
            std::lock_guard lock(link->mutex);
            if (link->device) link->device->receive(message);
        });
    const int out = ports.outIndex;
    detach_ = [&service, out, link] {
        service.setReceiver(out, {});
        std::lock_guard lock(link->mutex);
        link->device = nullptr;
    };
    return ports;
}

}  // namespace q4m::sim
