// The virtual service is also the model of how a platform behaves towards the
// ports: one lock guards every device and handle; each open device has one
// thread of its own that does the slow part (the wire time) and calls out (the
// peer's receiver, the host's input callback) with the lock released, so that
// those callbacks may call the service again.
#include "midi/virtual/virtual_midi.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace q4m::midi {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t MaxLongMessage = 65536;  // as WinMM: larger buffers are refused
constexpr std::uint8_t EndOfExclusive = 0xF7;

// Hands a header back to its owner. Everything the service wrote into the
// buffer happens before the release store, so an owner that sees MhdrDone
// (acquire) also sees the bytes and bytesRecorded.
void markDone(MidiHeader* header) {
    std::uint32_t flags = header->flags.load(std::memory_order_relaxed);
    header->flags.store((flags & ~MhdrInQueue) | MhdrDone, std::memory_order_release);
}

bool inQueue(const MidiHeader* header) {
    return (header->flags.load(std::memory_order_acquire) & MhdrInQueue) != 0;
}

}  // namespace

struct VirtualMidiService::Impl {
    struct OutHandle {
        int index = 0;
        std::deque<MidiHeader*> queue;  // accepted and not yet done; the front is on the wire
        std::uint64_t resets = 0;       // bumped by outReset: abandons what was queued
        bool closing = false;
        std::thread worker;
    };

    struct Chunk {
        std::vector<std::uint8_t> bytes;
        Clock::time_point arrival;  // when its last byte has come in over the wire
    };

    struct InHandle {
        int index = 0;
        MidiInCallback callback = nullptr;
        std::uintptr_t instance = 0;
        bool started = false;
        std::deque<MidiHeader*> buffers;  // lent by the host; the front one is being filled
        std::deque<Chunk> pending;        // arrived (or arriving), not yet in a buffer
        std::size_t pendingOffset = 0;    // bytes of pending.front() already copied
        Clock::time_point lastArrival;
        std::uint64_t resetsAsked = 0;
        std::uint64_t resetsDone = 0;
        bool inCallback = false;
        bool closing = false;
        bool closedByHost = false;  // only inClose announces MimClose
        std::thread worker;
    };

    struct OutDevice {
        std::string name;
        Receiver receiver;
        bool refuseOpen = false;
        bool refuseSend = false;
        bool failWrites = false;
        bool nameless = false;
        std::unique_ptr<OutHandle> handle;
    };

    struct InDevice {
        std::string name;
        bool refuseOpen = false;
        bool nameless = false;
        std::unique_ptr<InHandle> handle;
    };

    std::mutex mutex;
    std::condition_variable changed;  // any state change; waiters re-check their condition
    // Held while the watcher runs, so that replacing it waits for a call in progress.
    std::mutex watchMutex;
    PortsChangedFn watcher;

    void announce() {
        std::lock_guard lock(watchMutex);
        if (watcher) watcher();
    }
    // unique_ptr keeps a device's address stable while devices are added.
    std::vector<std::unique_ptr<OutDevice>> outs;
    std::vector<std::unique_ptr<InDevice>> ins;
    double bytesPerMs = 0;

    Clock::duration wireTime(std::size_t bytes) const {
        if (bytesPerMs <= 0) return Clock::duration::zero();
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(static_cast<double>(bytes) / bytesPerMs));
    }

    OutHandle* findOut(MidiHandle handle) {
        for (auto& d : outs)
            if (d->handle.get() == handle && handle) return d->handle.get();
        return nullptr;
    }
    InHandle* findIn(MidiHandle handle) {
        for (auto& d : ins)
            if (d->handle.get() == handle && handle) return d->handle.get();
        return nullptr;
    }

    // Output: one whole message at a time, in the order accepted. The peer gets
    // a copy, so a reset may hand the header back while the peer still reads.
    void runOutput(OutHandle& h) {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return h.closing || !h.queue.empty(); });
            if (h.closing) return;
            MidiHeader* header = h.queue.front();
            const std::uint64_t resets = h.resets;
            const auto due = Clock::now() + wireTime(header->bufferLength);
            bool abandoned =
                changed.wait_until(lock, due, [&] { return h.closing || h.resets != resets; });
            // An abandoned message never reaches the peer: outReset has already
            // handed its header back, and a device that stops mid-message
            // delivers nothing whole.
            if (abandoned) continue;
            if (outs[h.index]->failWrites) {
                h.queue.pop_front();
                header->flags.fetch_or(MhdrError, std::memory_order_relaxed);
                markDone(header);
                changed.notify_all();
                continue;
            }
            std::vector<std::uint8_t> message(header->data, header->data + header->bufferLength);
            Receiver receiver = outs[h.index]->receiver;
            lock.unlock();
            if (receiver) receiver(message);
            lock.lock();
            if (h.resets == resets) {  // else outReset handed it back meanwhile
                h.queue.pop_front();
                markDone(header);
                changed.notify_all();
            }
        }
    }

    // Input: copies arrived bytes into the front lent buffer and returns it at
    // the end of a message or when it is full.
    void runInput(InHandle& h) {
        std::unique_lock lock(mutex);
        call(h, lock, MimOpen, 0);
        for (;;) {
            if (h.closing) break;
            if (h.resetsDone != h.resetsAsked) {
                returnBuffersEmpty(h, lock);
                h.resetsDone = h.resetsAsked;
                changed.notify_all();
                continue;
            }
            if (h.started && !h.pending.empty() && !h.buffers.empty()) {
                const auto arrival = h.pending.front().arrival;
                if (Clock::now() < arrival) {
                    changed.wait_until(lock, arrival);
                } else {
                    fillFrontBuffer(h, lock);
                }
                continue;
            }
            changed.wait(lock);
        }
        // A handle the host never closed (service torn down first) gets no
        // callback: its owner may be gone already.
        if (h.closedByHost) call(h, lock, MimClose, 0);
    }

    void fillFrontBuffer(InHandle& h, std::unique_lock<std::mutex>& lock) {
        MidiHeader* buffer = h.buffers.front();
        bool messageEnded = false;
        const auto now = Clock::now();
        while (buffer->bytesRecorded < buffer->bufferLength && !h.pending.empty() &&
               h.pending.front().arrival <= now) {
            Chunk& chunk = h.pending.front();
            const std::uint8_t byte = chunk.bytes[h.pendingOffset++];
            if (h.pendingOffset == chunk.bytes.size()) {
                h.pending.pop_front();
                h.pendingOffset = 0;
            }
            buffer->data[buffer->bytesRecorded++] = byte;
            if (byte == EndOfExclusive) {
                messageEnded = true;
                break;
            }
        }
        if (messageEnded || buffer->bytesRecorded == buffer->bufferLength) {
            h.buffers.pop_front();
            markDone(buffer);
            call(h, lock, MimLongData, reinterpret_cast<std::uintptr_t>(buffer));
        }
        changed.notify_all();  // flushInput may be waiting for pending to drain
    }

    void returnBuffersEmpty(InHandle& h, std::unique_lock<std::mutex>& lock) {
        std::deque<MidiHeader*> returned;
        returned.swap(h.buffers);
        for (MidiHeader* buffer : returned) {
            buffer->bytesRecorded = 0;
            markDone(buffer);
        }
        for (MidiHeader* buffer : returned)
            call(h, lock, MimLongData, reinterpret_cast<std::uintptr_t>(buffer));
    }

    // Calls the host's input callback with the lock released.
    void call(InHandle& h, std::unique_lock<std::mutex>& lock, std::uint32_t message,
              std::uintptr_t param1) {
        h.inCallback = true;
        lock.unlock();
        h.callback(&h, message, h.instance, param1, 0);
        lock.lock();
        h.inCallback = false;
        changed.notify_all();
    }

    // Ends a handle's thread; the caller has checked that it is not that thread.
    template <typename Handle>
    void stopWorker(Handle& h, std::unique_lock<std::mutex>& lock) {
        h.closing = true;
        changed.notify_all();
        lock.unlock();
        h.worker.join();
        lock.lock();
    }
};

VirtualMidiService::VirtualMidiService() : impl_(std::make_unique<Impl>()) {}

VirtualMidiService::~VirtualMidiService() {
    std::unique_lock lock(impl_->mutex);
    for (auto& d : impl_->outs)
        if (d->handle) impl_->stopWorker(*d->handle, lock);
    for (auto& d : impl_->ins)
        if (d->handle) impl_->stopWorker(*d->handle, lock);
}

int VirtualMidiService::addOutputDevice(std::string name, Receiver receiver) {
    int index = 0;
    {
        std::lock_guard lock(impl_->mutex);
        auto device = std::make_unique<Impl::OutDevice>();
        device->name = std::move(name);
        device->receiver = std::move(receiver);
        impl_->outs.push_back(std::move(device));
        index = static_cast<int>(impl_->outs.size()) - 1;
    }
    impl_->announce();
    return index;
}

void VirtualMidiService::setReceiver(int outIndex, Receiver receiver) {
    std::lock_guard lock(impl_->mutex);
    if (outIndex >= 0 && outIndex < static_cast<int>(impl_->outs.size()))
        impl_->outs[outIndex]->receiver = std::move(receiver);
}

int VirtualMidiService::addInputDevice(std::string name) {
    int index = 0;
    {
        std::lock_guard lock(impl_->mutex);
        auto device = std::make_unique<Impl::InDevice>();
        device->name = std::move(name);
        impl_->ins.push_back(std::move(device));
        index = static_cast<int>(impl_->ins.size()) - 1;
    }
    impl_->announce();
    return index;
}

bool VirtualMidiService::watchPorts(PortsChangedFn changed) {
    std::lock_guard lock(impl_->watchMutex);
    impl_->watcher = std::move(changed);
    return true;
}

void VirtualMidiService::sendToHost(int inIndex, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(impl_->mutex);
    if (inIndex < 0 || inIndex >= static_cast<int>(impl_->ins.size()) || bytes.empty()) return;
    Impl::InHandle* h = impl_->ins[inIndex]->handle.get();
    if (!h || !h->started) return;  // nobody listens: the bytes are lost
    // Bytes queue behind those still on the wire; a chunk becomes available
    // once its last byte has arrived.
    const auto start = std::max(Clock::now(), h->lastArrival);
    h->lastArrival = start + impl_->wireTime(bytes.size());
    h->pending.push_back({std::vector<std::uint8_t>(bytes.begin(), bytes.end()), h->lastArrival});
    impl_->changed.notify_all();
}

void VirtualMidiService::setWireRate(double bytesPerMs) {
    std::lock_guard lock(impl_->mutex);
    impl_->bytesPerMs = bytesPerMs;
}

void VirtualMidiService::setRefuseOpen(bool input, int index, bool refuse) {
    std::lock_guard lock(impl_->mutex);
    if (input && index >= 0 && index < static_cast<int>(impl_->ins.size()))
        impl_->ins[index]->refuseOpen = refuse;
    if (!input && index >= 0 && index < static_cast<int>(impl_->outs.size()))
        impl_->outs[index]->refuseOpen = refuse;
}

void VirtualMidiService::setRefuseSend(int outIndex, bool refuse) {
    std::lock_guard lock(impl_->mutex);
    if (outIndex >= 0 && outIndex < static_cast<int>(impl_->outs.size()))
        impl_->outs[outIndex]->refuseSend = refuse;
}

void VirtualMidiService::setFailWrites(int outIndex, bool fail) {
    std::lock_guard lock(impl_->mutex);
    if (outIndex >= 0 && outIndex < static_cast<int>(impl_->outs.size()))
        impl_->outs[outIndex]->failWrites = fail;
}

void VirtualMidiService::setNameless(bool input, int index, bool nameless) {
    std::lock_guard lock(impl_->mutex);
    if (input && index >= 0 && index < static_cast<int>(impl_->ins.size()))
        impl_->ins[index]->nameless = nameless;
    if (!input && index >= 0 && index < static_cast<int>(impl_->outs.size()))
        impl_->outs[index]->nameless = nameless;
}

// Waits until every byte sent so far sits in a buffer or has been dropped and
// no input callback runs. Bytes that wait for a lent buffer keep it waiting.
void VirtualMidiService::flushInput(int inIndex) {
    std::unique_lock lock(impl_->mutex);
    if (inIndex < 0 || inIndex >= static_cast<int>(impl_->ins.size())) return;
    Impl::InDevice& device = *impl_->ins[inIndex];
    Impl::InHandle* h = device.handle.get();
    if (!h) return;
    impl_->changed.wait(lock, [&] {
        if (device.handle.get() != h) return true;  // closed meanwhile: nothing left to deliver
        return (h->pending.empty() || !h->started) && !h->inCallback &&
               h->resetsDone == h->resetsAsked;
    });
}

int VirtualMidiService::inDeviceCount() {
    std::lock_guard lock(impl_->mutex);
    return static_cast<int>(impl_->ins.size());
}

MmResult VirtualMidiService::inDeviceName(int index, std::string& name) {
    std::lock_guard lock(impl_->mutex);
    if (index < 0 || index >= static_cast<int>(impl_->ins.size())) return MmBadDeviceId;
    if (impl_->ins[index]->nameless) return MmError;
    name = impl_->ins[index]->name;
    return MmOk;
}

MmResult VirtualMidiService::inOpen(MidiHandle* handle, int index, MidiInCallback callback,
                                    std::uintptr_t instance) {
    std::lock_guard lock(impl_->mutex);
    if (!handle || !callback) return MmInvalidParam;
    if (index < 0 || index >= static_cast<int>(impl_->ins.size())) return MmBadDeviceId;
    Impl::InDevice& device = *impl_->ins[index];
    if (device.refuseOpen) return MmError;
    if (device.handle) return MmAllocated;  // one handle per device at a time
    device.handle = std::make_unique<Impl::InHandle>();
    Impl::InHandle* h = device.handle.get();
    h->index = index;
    h->callback = callback;
    h->instance = instance;
    h->worker = std::thread([this, h] { impl_->runInput(*h); });
    *handle = h;
    return MmOk;
}

MmResult VirtualMidiService::inPrepareHeader(MidiHandle handle, MidiHeader* header) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->findIn(handle)) return MmInvalidHandle;
    if (!header || !header->data || header->bufferLength == 0) return MmInvalidParam;
    header->flags.fetch_or(MhdrPrepared);
    return MmOk;
}

MmResult VirtualMidiService::inUnprepareHeader(MidiHandle handle, MidiHeader* header) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->findIn(handle)) return MmInvalidHandle;
    if (!header) return MmInvalidParam;
    if (inQueue(header)) return MidiStillPlaying;
    header->flags.fetch_and(~MhdrPrepared);
    return MmOk;
}

MmResult VirtualMidiService::inAddBuffer(MidiHandle handle, MidiHeader* header) {
    std::lock_guard lock(impl_->mutex);
    Impl::InHandle* h = impl_->findIn(handle);
    if (!h) return MmInvalidHandle;
    if (!header) return MmInvalidParam;
    if (!(header->flags.load() & MhdrPrepared)) return MidiUnprepared;
    if (inQueue(header)) return MidiStillPlaying;
    header->bytesRecorded = 0;
    header->flags.store((header->flags.load() & ~(MhdrDone | MhdrError)) | MhdrInQueue);
    h->buffers.push_back(header);
    impl_->changed.notify_all();
    return MmOk;
}

MmResult VirtualMidiService::inStart(MidiHandle handle) {
    std::lock_guard lock(impl_->mutex);
    Impl::InHandle* h = impl_->findIn(handle);
    if (!h) return MmInvalidHandle;
    h->started = true;
    impl_->changed.notify_all();
    return MmOk;
}

// Stopping drops what has not reached a buffer yet and the start of a message
// left unfinished in the front buffer; lent buffers stay lent.
MmResult VirtualMidiService::inStop(MidiHandle handle) {
    std::lock_guard lock(impl_->mutex);
    Impl::InHandle* h = impl_->findIn(handle);
    if (!h) return MmInvalidHandle;
    h->started = false;
    h->pending.clear();
    h->pendingOffset = 0;
    if (!h->buffers.empty()) h->buffers.front()->bytesRecorded = 0;
    impl_->changed.notify_all();
    return MmOk;
}

// Stops input and hands every lent buffer back, empty, through the callback on
// the device's thread; returns once that has happened.
MmResult VirtualMidiService::inReset(MidiHandle handle) {
    std::unique_lock lock(impl_->mutex);
    Impl::InHandle* h = impl_->findIn(handle);
    if (!h) return MmInvalidHandle;
    h->started = false;
    h->pending.clear();
    h->pendingOffset = 0;
    if (std::this_thread::get_id() == h->worker.get_id()) {  // from inside the callback
        impl_->returnBuffersEmpty(*h, lock);
        return MmOk;
    }
    const std::uint64_t ticket = ++h->resetsAsked;
    impl_->changed.notify_all();
    impl_->changed.wait(lock, [&] { return h->resetsDone >= ticket || h->closing; });
    return MmOk;
}

MmResult VirtualMidiService::inClose(MidiHandle handle) {
    std::unique_lock lock(impl_->mutex);
    Impl::InHandle* h = impl_->findIn(handle);
    if (!h) return MmInvalidHandle;
    if (!h->buffers.empty()) return MidiStillPlaying;  // the host must reset first
    if (std::this_thread::get_id() == h->worker.get_id()) return MmError;
    h->closedByHost = true;
    impl_->stopWorker(*h, lock);
    impl_->ins[h->index]->handle.reset();
    impl_->changed.notify_all();
    return MmOk;
}

int VirtualMidiService::outDeviceCount() {
    std::lock_guard lock(impl_->mutex);
    return static_cast<int>(impl_->outs.size());
}

MmResult VirtualMidiService::outDeviceName(int index, std::string& name) {
    std::lock_guard lock(impl_->mutex);
    if (index < 0 || index >= static_cast<int>(impl_->outs.size())) return MmBadDeviceId;
    if (impl_->outs[index]->nameless) return MmError;
    name = impl_->outs[index]->name;
    return MmOk;
}

MmResult VirtualMidiService::outOpen(MidiHandle* handle, int index) {
    std::lock_guard lock(impl_->mutex);
    if (!handle) return MmInvalidParam;
    if (index < 0 || index >= static_cast<int>(impl_->outs.size())) return MmBadDeviceId;
    Impl::OutDevice& device = *impl_->outs[index];
    if (device.refuseOpen) return MmError;
    if (device.handle) return MmAllocated;
    device.handle = std::make_unique<Impl::OutHandle>();
    Impl::OutHandle* h = device.handle.get();
    h->index = index;
    h->worker = std::thread([this, h] { impl_->runOutput(*h); });
    *handle = h;
    return MmOk;
}

MmResult VirtualMidiService::outClose(MidiHandle handle) {
    std::unique_lock lock(impl_->mutex);
    Impl::OutHandle* h = impl_->findOut(handle);
    if (!h) return MmInvalidHandle;
    if (!h->queue.empty()) return MidiStillPlaying;  // the host must wait or reset first
    if (std::this_thread::get_id() == h->worker.get_id()) return MmError;
    impl_->stopWorker(*h, lock);
    impl_->outs[h->index]->handle.reset();
    return MmOk;
}

MmResult VirtualMidiService::outPrepareHeader(MidiHandle handle, MidiHeader* header) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->findOut(handle)) return MmInvalidHandle;
    if (!header || !header->data || header->bufferLength == 0 ||
        header->bufferLength > MaxLongMessage)
        return MmInvalidParam;
    header->flags.fetch_or(MhdrPrepared);
    return MmOk;
}

MmResult VirtualMidiService::outUnprepareHeader(MidiHandle handle, MidiHeader* header) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->findOut(handle)) return MmInvalidHandle;
    if (!header) return MmInvalidParam;
    if (inQueue(header)) return MidiStillPlaying;
    header->flags.fetch_and(~MhdrPrepared);
    return MmOk;
}

MmResult VirtualMidiService::outLongMsg(MidiHandle handle, MidiHeader* header) {
    std::lock_guard lock(impl_->mutex);
    Impl::OutHandle* h = impl_->findOut(handle);
    if (!h) return MmInvalidHandle;
    if (!header) return MmInvalidParam;
    if (!(header->flags.load() & MhdrPrepared)) return MidiUnprepared;
    if (inQueue(header)) return MidiStillPlaying;
    if (impl_->outs[h->index]->refuseSend) return MmError;
    header->flags.store((header->flags.load() & ~(MhdrDone | MhdrError)) | MhdrInQueue);
    h->queue.push_back(header);
    impl_->changed.notify_all();
    return MmOk;
}

MmResult VirtualMidiService::outReset(MidiHandle handle) {
    std::lock_guard lock(impl_->mutex);
    Impl::OutHandle* h = impl_->findOut(handle);
    if (!h) return MmInvalidHandle;
    for (MidiHeader* header : h->queue) markDone(header);
    h->queue.clear();
    ++h->resets;
    impl_->changed.notify_all();
    return MmOk;
}

std::string VirtualMidiService::errorText(MmResult result) {
    switch (result) {
        case MmOk:
            return "The operation succeeded.";
        case MmBadDeviceId:
            return "The device identifier is out of range.";
        case MmAllocated:
            return "The device is already in use.";
        case MmInvalidHandle:
            return "The device handle is invalid.";
        case MmNoMemory:
            return "Not enough memory.";
        case MmInvalidParam:
            return "An invalid parameter was passed.";
        case MidiUnprepared:
            return "The header has not been prepared.";
        case MidiStillPlaying:
            return "Buffers are still queued.";
        default:
            return "The virtual device reported an error.";
    }
}

}  // namespace q4m::midi
