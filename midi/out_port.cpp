#include "midi/out_port.h"

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

MidiOutPort::MidiOutPort(MidiService& service, std::chrono::milliseconds sendLimit)
    : service_(service), sendLimit_(sendLimit) {}

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
    deviceIndex_ = index;  // remembered even when the platform refuses
    MidiHandle handle = nullptr;
    if (service_.outOpen(&handle, index) != MmOk) return 0;
    handle_ = handle;
    return 1;
}

int MidiOutPort::close() {
    MidiHandle handle = handle_;
    if (!handle) return 0;
    // The reset runs without the send lock: a send waiting for a slow wire
    // gets its header back at once, sees closing_ and lets go of the lock, so
    // the window closes promptly.
    closing_ = true;
    service_.outReset(handle);
    std::lock_guard lock(sendMutex_);
    if (service_.outClose(handle) != MmOk) {
        service_.outReset(handle);
        service_.outClose(handle);  // nothing more to try: the handle is given up either way
    }
    handle_ = nullptr;
    closing_ = false;
    return 1;
}

int MidiOutPort::sendLong(MidiHeader* header) {
    std::lock_guard lock(sendMutex_);  // whole messages, one after the other
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
        if (closing_ || Clock::now() >= deadline) {
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
            if (Clock::now() >= giveBack) return 0;  // the platform keeps it; nothing safe left
            std::this_thread::sleep_for(DonePoll);
        }
    }
    service_.outUnprepareHeader(handle_, header);
    // Done after close's reset means the message was cut off, not sent.
    return abandoned || closing_ ? 0 : 1;
}

int MidiOutPort::deviceIndex() const {
    return deviceIndex_;
}

bool MidiOutPort::isOpen() const {
    return handle_ != nullptr;
}

int sendSysex(MidiOutPort& port, const std::uint8_t* bytes, std::uint32_t length) {
    MidiHeader header;  // lives only for this call: sendLong returns when the platform is done
    header.data = const_cast<std::uint8_t*>(bytes);  // the platform only reads output buffers
    header.bufferLength = length;
    return port.sendLong(&header) == 1 ? 0 : -1;
}

}  // namespace q4m::midi
