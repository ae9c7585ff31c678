// A small scripted device for the update procedure's tests: answers each host
// request by kind, keeps a flash model that erases and writes really change,
// and lets each test decide, per request, whether and how it is answered.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/codec.h"
#include "engine/dispatcher.h"
#include "engine/engine.h"
#include "tests/engine/fake_host.h"

namespace q4m::test {

enum class Req { Identity, Begin, Read, Erase, Write, End, Other };

struct Request {
    Req kind;
    std::uint8_t modelByte = 0;
    std::uint32_t address = 0;
    std::uint32_t size = 0;  // erase size, block length, read length
    bool crcOk = true;       // write blocks: the CRC matched the data
};

// How one request is answered: a StatusMessage with a status, or silence.
// For a ReadRequest, status 0 is a proper ReadReply and status 1 one whose CRC
// fails; for an IdentityRequest, status 0 is the IdentityReply.
struct Answer {
    bool silent = false;
    std::uint8_t status = 0;
};
inline Answer ok() {
    return {};
}
inline Answer silence() {
    return {true, 0};
}
inline Answer status(std::uint8_t s) {
    return {false, s};
}

class ScriptedDevice {
  public:
    static constexpr std::uint32_t FlashSize = 0xE0000;

    ScriptedDevice() : flash_(FlashSize, 0xFF) {}

    // Decides the answer to the n-th request (from 1) of a kind; default: success.
    std::function<Answer(Req kind, int n)> script;
    // Told of every request after it is recorded, before it is answered.
    std::function<void(const Request&)> onRequest;
    engine::DeviceIdentity identity{0x3C, 0x00, 0x02, 0x00};

    // Replies are queued and dispatched on the sending thread before the send
    // returns, so a run needs no poll thread and a missing reply is exactly a
    // timeout. (None of these replies makes the dispatcher send an answer.)
    void attachInline(FakeHost& host, engine::Engine& engine) {
        host.setDevice([this, &host, &engine](const Bytes& sent) {
            for (auto& reply : answer(sent)) host.receive(std::move(reply));
            engine::dispatchReplies(engine);
            return std::vector<Bytes>{};
        });
    }
    // Replies go through the host's queue to a poll thread, as with a real port.
    void attachPolled(FakeHost& host) {
        host.setDevice([this](const Bytes& sent) { return answer(sent); });
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    int count(Req kind) const {
        int n = 0;
        for (const auto& r : requests()) n += r.kind == kind;
        return n;
    }
    std::vector<std::uint8_t> flash() const {
        std::lock_guard lock(mutex_);
        return flash_;
    }
    void setFlash(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t n) {
        std::lock_guard lock(mutex_);
        std::copy(bytes, bytes + n, flash_.begin() + address);
    }

    std::vector<Bytes> answer(const Bytes& m) {
        Request r = parse(m);
        int n;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(r);
            n = ++counts_[static_cast<int>(r.kind)];
        }
        if (r.kind == Req::Other) return {};
        if (onRequest) onRequest(r);
        const Answer a = script ? script(r.kind, n) : ok();
        if (a.silent) return {};

        switch (r.kind) {
            case Req::Identity:
                // A nonzero status answers with a StatusMessage instead of the identity.
                if (a.status != 0) break;
                return {{0xF0, 0x7E, 0x00, 0x06, 0x02, 0x7D, identity[0], identity[1], identity[2],
                         identity[3], 0x31, 0x2E, 0x30, 0x30, 0xF7}};
            case Req::Read:
                if (a.status == 0 || a.status == 1) return {readReply(r, a.status == 1)};
                break;
            case Req::Erase:
                if (a.status == 0) fill(r.address, r.size, 0xFF);
                break;
            case Req::Write:
                if (a.status == 0) program(m, r);
                break;
            default:
                break;
        }
        return {{0xF0, 0x7D, 0x00, 0x3C, 0x00, a.status, 0xF7}};
    }

  private:
    static Request parse(const Bytes& m) {
        Request r{Req::Other};
        if (m.size() >= 6 && m[1] == 0x7E && m[3] == 0x06 && m[4] == 0x01) {
            r.kind = Req::Identity;
            return r;
        }
        if (m.size() < 6 || m[1] != 0x7D) return r;
        r.modelByte = m[3];
        switch (m[4]) {
            case 0x01:
                r.kind = Req::Begin;
                break;
            case 0x04:
                r.kind = Req::End;
                break;
            case 0x0A:
                r.kind = Req::Erase;
                r.address = engine::getSeptet32(&m[5]);
                r.size = engine::getSeptet32(&m[10]);
                break;
            case 0x60:
                r.kind = Req::Read;
                r.address = engine::getSeptet32(&m[6]);
                r.size = engine::getSeptet32(&m[11]);
                break;
            case 0x02: {
                r.kind = Req::Write;
                r.address = engine::getSeptet32(&m[5]);
                r.size = static_cast<std::uint32_t>(engine::getSeptet14(&m[10]));
                const Bytes data = unpacked(m, r.size);
                const auto p = static_cast<std::size_t>(engine::packedLength(r.size));
                r.crcOk = engine::dataCrc(data.data(), r.size) == engine::getSeptet32(&m[12 + p]) &&
                          m.size() == p + 18;
                break;
            }
        }
        return r;
    }

    static Bytes unpacked(const Bytes& m, std::uint32_t n) {
        const std::int32_t p = engine::packedLength(static_cast<std::int32_t>(n));
        Bytes data(static_cast<std::size_t>(engine::unpackedLength(p)));
        engine::unpackBytes(data.data(), &m[12], p);
        data.resize(n);
        return data;
    }

    void fill(std::uint32_t address, std::uint32_t size, std::uint8_t value) {
        std::lock_guard lock(mutex_);
        std::fill_n(flash_.begin() + address, size, value);
    }

    void program(const Bytes& m, const Request& r) {
        const Bytes data = unpacked(m, r.size);
        std::lock_guard lock(mutex_);
        // NOR flash: programming only clears bits, so a write into a region
        // that was not erased leaves a trace.
        for (std::uint32_t i = 0; i < r.size; ++i) flash_[r.address + i] &= data[i];
    }

    Bytes readReply(const Request& r, bool corruptCrc) {
        Bytes data;
        {
            std::lock_guard lock(mutex_);
            data.assign(flash_.begin() + r.address, flash_.begin() + r.address + r.size);
        }
        const auto n = static_cast<std::int32_t>(data.size());
        const auto p = static_cast<std::size_t>(engine::packedLength(n));
        Bytes reply(p + 17);
        const std::uint8_t head[] = {0xF0, 0x7D, 0x00, 0x3C, 0x60, 0x04, 0x30, 0x00, 0x00};
        std::copy(std::begin(head), std::end(head), reply.begin());
        engine::putSeptet14(n, &reply[9]);
        engine::packBytes(&reply[11], data.data(), n);
        std::uint32_t crc = engine::dataCrc(data.data(), static_cast<std::uint32_t>(n));
        if (corruptCrc) crc ^= 1;
        engine::putSeptet32(crc, &reply[11 + p]);
        reply[16 + p] = 0xF7;
        return reply;
    }

    mutable std::mutex mutex_;
    std::vector<Request> requests_;
    std::array<int, 7> counts_{};
    std::vector<std::uint8_t> flash_;
};

}  // namespace q4m::test
