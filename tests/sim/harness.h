// Shared by the simulator's tests: the host's messages, built by the engine's
// own command set so that host and device agree by construction, and a rig
// that collects what the device sends.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "engine/codec.h"
#include "engine/commands.h"
#include "sim/device_simulator.h"

namespace q4m::sim::test {

inline constexpr std::uint8_t Model = 0x3C;

// One message of the host, as CommandSet builds it for ModelByte 0x3C.
inline Bytes host(const std::function<int(engine::CommandSet&)>& build) {
    struct Capture : engine::SysexSender {
        Bytes last;
        int sendSysex(const std::uint8_t* bytes, std::uint32_t length) override {
            last.assign(bytes, bytes + length);
            return 0;
        }
    } capture;
    engine::CommandSet commands(capture);
    commands.setActiveIdentity({Model, 0x00, 0x02, 0x00});
    commands.setReplyIdentity({Model, 0x00, 0x02, 0x00});
    build(commands);
    return capture.last;
}

inline Bytes identityRequest() {
    return host([](auto& c) { return c.sendIdentityRequest(); });
}
inline Bytes beginUpdate() {
    return host([](auto& c) { return c.sendBeginUpdate(); });
}
inline Bytes endUpdate() {
    return host([](auto& c) { return c.sendEndUpdate(); });
}
inline Bytes erase(std::uint32_t address, std::uint32_t size) {
    return host([=](auto& c) {
        return c.sendErase(Model, static_cast<std::int32_t>(address),
                           static_cast<std::int32_t>(size));
    });
}
inline Bytes writeBlock(std::uint32_t address, const Bytes& data) {
    return host([&](auto& c) {
        return c.sendWriteBlock(Model, data.data(), static_cast<std::int32_t>(address),
                                static_cast<std::int32_t>(data.size()));
    });
}
inline Bytes readRequest(std::uint32_t address, std::uint32_t length) {
    return host([=](auto& c) { return c.sendReadRequest(address, length); });
}

inline Bytes status(std::uint8_t code) {
    return {0xF0, 0x7D, 0x00, Model, 0x00, code, 0xF7};
}
inline Bytes status(Status code) {
    return status(static_cast<std::uint8_t>(code));
}

// The data of a ReadReply, or nothing when its layout or CRC is wrong.
inline bool decodeReadReply(const Bytes& m, Bytes& data) {
    if (m.size() < 17 || m[4] != 0x60 || m[5] != 0x04 || m[6] != 0x30) return false;
    const auto n = engine::getSeptet14(&m[9]);
    const auto packed = engine::packedLength(n);
    if (m.size() != static_cast<std::size_t>(packed) + 17) return false;
    Bytes out(static_cast<std::size_t>(engine::unpackedLength(packed)));
    engine::unpackBytes(out.data(), &m[11], packed);
    out.resize(static_cast<std::size_t>(n));
    if (engine::dataCrc(out.data(), static_cast<std::uint32_t>(n)) !=
        engine::getSeptet32(&m[11 + static_cast<std::size_t>(packed)]))
        return false;
    data.insert(data.end(), out.begin(), out.end());
    return true;
}

// A simulator whose messages land in a list. With no latency, the answers to
// a message are in the list when send() returns.
class Rig {
    // Declared before sim, so they outlive its sending thread.
    mutable std::mutex mutex_;
    std::vector<Bytes> received_;

  public:
    explicit Rig(SimConfig config = {}) : sim(std::move(config)) {
        sim.setSender([this](Bytes m) {
            std::lock_guard lock(mutex_);
            received_.push_back(std::move(m));
        });
    }
    // What the device sent in answer to message (and any chatter with it).
    std::vector<Bytes> send(const Bytes& message) {
        const std::size_t before = received().size();
        sim.receive(message);
        auto all = received();
        return {all.begin() + static_cast<std::ptrdiff_t>(before), all.end()};
    }
    std::vector<Bytes> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }

    DeviceSimulator sim;
};

}  // namespace q4m::sim::test
