#include "midi/out_port.h"

#include <cstring>
#include <string>
#include <thread>

#include "midi/device_name.h"

namespace q4m::midi {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto DonePoll = std::chrono::milliseconds(1);

bool isDone(const MidiHeader* header) {
    return (header->flags.load(std::memory_order_acquire) & MhdrDone) != 0;
}

}  // namespace

MidiOutPort::MidiOutPort(MidiService& service, std::chrono::milliseconds sendLimit,
                         std::chrono::milliseconds closeGrace)
    : service_(service), sendLimit_(sendLimit), closeGrace_(closeGrace) {}

MidiOutPort::~MidiOutPort() {
    close();
}

int MidiOutPort::deviceCount() {
    return service_.outDeviceCount();
}

void MidiOutPort::deviceName(int index, char* name) {
    std::string text;
    if (service_.outDeviceName(index, text) != MmOk) text.clear();
    copyDeviceName(text, name, MaxNameLength);
}

// open and close run on the owner's thread only, so handle_ changes on that
// thread alone and it may read handle_ without the lock.
int MidiOutPort::open(int index) {
    if (handle_) {
        if (index == deviceIndex_) return 1;
        close();
    }
    std::lock_guard lock(sendMutex_);
    deviceIndex_ = index;   // remembered even when the platform refuses
    outgoingLost_ = false;  // a new device gets a new buffer
    MidiHandle handle = nullptr;
    if (service_.outOpen(&handle, index) != MmOk) return 0;
    handle_ = handle;
    return 1;
}

int MidiOutPort::close() {
    MidiHandle handle = handle_;
    if (!handle) return 0;
    closing_ = true;
    // A message already on the wire may finish: cutting it would leave the
    // device with half a message. Past the grace the device is reset without
    // the lock, so a send waiting for a slow wire gets its header back at once
    // and the window still closes promptly.
    std::unique_lock lock(sendMutex_, std::defer_lock);
    const auto graceEnd = Clock::now() + closeGrace_;
    while (!lock.try_lock() && Clock::now() < graceEnd) std::this_thread::sleep_for(DonePoll);
    if (!lock.owns_lock()) {
        cutByClose_ = true;
        service_.outReset(handle);
        lock.lock();
    }
    if (service_.outClose(handle) != MmOk) {
        service_.outReset(handle);
        service_.outClose(handle);  // nothing more to try: the handle is given up either way
    }
    handle_ = nullptr;
    closing_ = false;
    cutByClose_ = false;
    return 1;
}

int MidiOutPort::sendLong(MidiHeader* header) {
    std::lock_guard lock(sendMutex_);  // whole messages, one after the other
    return sendLocked(header);
}

int MidiOutPort::sendMessage(const std::uint8_t* bytes, std::uint32_t length) {
    std::lock_guard lock(sendMutex_);
    if (!bytes || length == 0 || outgoingLost_) return 0;
    if (!outgoing_) outgoing_ = std::make_unique<Outgoing>();
    if (outgoing_->bytes.size() < length) outgoing_->bytes.resize(length);
    std::memcpy(outgoing_->bytes.data(), bytes, length);
    MidiHeader& header = outgoing_->header;
    header.data = outgoing_->bytes.data();
    header.bufferLength = length;
    header.bytesRecorded = 0;
    header.flags.store(0);
    const int result = sendLocked(&header);
    // A header the platform kept may still be read: it is not ours to reuse.
    if (header.flags.load(std::memory_order_acquire) & MhdrInQueue) {
        (void)outgoing_.release();  // still the platform's: never freed
        outgoingLost_ = true;
    }
    return result;
}

int MidiOutPort::sendLocked(MidiHeader* header) {
    if (!handle_ || closing_ || !header) return 0;
    if (service_.outPrepareHeader(handle_, header) != MmOk) return 0;
    if (service_.outLongMsg(handle_, header) != MmOk) {
        service_.outUnprepareHeader(handle_, header);
        return 0;
    }
    // Bounded wait: a platform that never finishes must not hold the worker
    // and the timer thread for ever. The limit is far above the longest
    // legitimate send.
    const auto deadline = Clock::now() + sendLimit_;
    bool abandoned = false;
    while (!isDone(header)) {
        if (Clock::now() >= deadline) {
            abandoned = true;
            break;
        }
        std::this_thread::sleep_for(DonePoll);
    }
    if (abandoned) {
        // Take the header back before the caller may reuse its bytes.
        service_.outReset(handle_);
        const auto giveBack = Clock::now() + sendLimit_;
        while (!isDone(header)) {
            if (Clock::now() >= giveBack) return 0;  // the platform keeps it
            std::this_thread::sleep_for(DonePoll);
        }
    }
    service_.outUnprepareHeader(handle_, header);
    // Done after a reset means the message was cut off, and a service that
    // could not pass the bytes on (a device unplugged) says so: neither is sent.
    const bool failed = (header->flags.load(std::memory_order_acquire) & MhdrError) != 0;
    return abandoned || cutByClose_ || failed ? 0 : 1;
}

int MidiOutPort::deviceIndex() const {
    return deviceIndex_;
}

bool MidiOutPort::isOpen() const {
    return handle_ != nullptr;
}

int sendSysex(MidiOutPort& port, const std::uint8_t* bytes, std::uint32_t length) {
    return port.sendMessage(bytes, length) == 1 ? 0 : -1;
}

}  // namespace q4m::midi
