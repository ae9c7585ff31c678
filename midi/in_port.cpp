#include "midi/in_port.h"

#include <algorithm>
#include <new>
#include <string>

#include "midi/device_name.h"

namespace q4m::midi {

MidiInPort::MidiInPort(MidiService& service)
    : service_(service), inbox_(std::make_unique<Inbox>(service)) {}

MidiInPort::~MidiInPort() {
    stop();
    if (handle_ && !closeDevice()) {
        // The platform still holds the receive buffer and may write into it,
        // and may still call back: leaking them is the only safe choice left.
        (void)header_.release();
        (void)receiveBuffer_.release();
        (void)inbox_.release();
    }
    // The queue's entries go with the deque.
}

int MidiInPort::deviceCount() {
    return service_.inDeviceCount();
}

void MidiInPort::deviceName(int index, char* name) {
    std::string text;
    if (service_.inDeviceName(index, text) != MmOk) text.clear();
    copyDeviceName(text, name, MaxNameLength);
}

int MidiInPort::start() {
    if (started_) return 1;  // keeps the open device, whatever deviceIndex_ says now
    // A device that an earlier stop could not close still holds our buffer.
    if (handle_ && !closeDevice()) return 0;
    releaseBuffer();

    header_.reset(new (std::nothrow) MidiHeader());
    receiveBuffer_.reset(new (std::nothrow) std::uint8_t[ReceiveBufferSize]());
    if (!header_ || !receiveBuffer_) {
        releaseBuffer();
        return 0;
    }
    header_->data = receiveBuffer_.get();
    header_->bufferLength = ReceiveBufferSize;

    MidiHandle handle = nullptr;
    MmResult result = service_.inOpen(&handle, deviceIndex_, &MidiInPort::onMidiInput,
                                      reinterpret_cast<std::uintptr_t>(inbox_.get()));
    if (result == MmOk) {
        handle_ = handle;
        result = service_.inReset(handle_);
        if (result == MmOk) result = service_.inPrepareHeader(handle_, header_.get());
        if (result == MmOk) result = service_.inAddBuffer(handle_, header_.get());
        if (result == MmOk) result = service_.inStart(handle_);
    }
    if (result == MmOk) {
        started_ = true;
        return 1;
    }
    (void)service_.errorText(result);  // fetched, shown nowhere
    // A failed start gives back what it took, unless the platform keeps the buffer.
    if (!handle_ || closeDevice()) releaseBuffer();
    return 0;
}

void MidiInPort::stop() {
    if (!started_ && !handle_) return;
    started_ = false;
    // After a refused unprepare or close the buffer stays ours to keep until a
    // later stop, start or the destructor gets the device closed.
    if (handle_ && !closeDevice()) return;
    releaseBuffer();
}

// Stop, reset (which hands the buffer back), unprepare, close: each step only
// after the one before it succeeded. True when the device is closed, after
// which the platform holds nothing of ours and no callback runs.
bool MidiInPort::closeDevice() {
    MmResult result = service_.inStop(handle_);
    if (result == MmOk) result = service_.inReset(handle_);
    if (result == MmOk && header_ && (header_->flags.load() & MhdrPrepared))
        result = service_.inUnprepareHeader(handle_, header_.get());
    if (result == MmOk) result = service_.inClose(handle_);
    if (result != MmOk) {
        (void)service_.errorText(result);
        return false;
    }
    handle_ = nullptr;
    return true;
}

void MidiInPort::releaseBuffer() {
    header_.reset();
    receiveBuffer_.reset();
}

std::span<const std::uint8_t> MidiInPort::frontMessage() {
    std::lock_guard lock(inbox_->mutex);
    if (inbox_->queue.empty()) return {};
    return inbox_->queue.front();
}

void MidiInPort::popMessage() {
    std::vector<std::uint8_t> oldest;  // freed after the lock is let go
    std::lock_guard lock(inbox_->mutex);
    if (inbox_->queue.empty()) return;
    oldest.swap(inbox_->queue.front());
    inbox_->queue.pop_front();
}

void MidiInPort::onMidiInput(MidiHandle handle, std::uint32_t message, std::uintptr_t instance,
                             std::uintptr_t param1, std::uintptr_t /*param2*/) {
    if (message != MimLongData) return;
    auto* inbox = reinterpret_cast<Inbox*>(instance);
    if (!inbox) return;
    auto* header = reinterpret_cast<MidiHeader*>(param1);
    // A reset hands the buffer back empty: nothing to keep, and it must not be
    // lent again.
    if (!(header->flags.load(std::memory_order_acquire) & MhdrDone) || header->bytesRecorded == 0)
        return;
    const std::uint32_t count = std::min(header->bytesRecorded, header->bufferLength);
    // The entry is complete before it becomes visible; the lock covers only the push.
    std::vector<std::uint8_t> entry(header->data, header->data + count);
    {
        std::lock_guard lock(inbox->mutex);
        inbox->queue.push_back(std::move(entry));
    }
    inbox->service.inPrepareHeader(handle, header);
    inbox->service.inAddBuffer(handle, header);
}

}  // namespace q4m::midi
