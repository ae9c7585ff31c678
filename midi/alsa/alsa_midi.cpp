#include "midi/alsa/alsa_midi.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <span>
#include <thread>
#include <vector>

#include "midi/alsa/alsa_devices.h"
#include "midi/alsa/sysex_joiner.h"

namespace q4m::midi {

using alsa::Direction;
using alsa::Endpoint;

namespace {

// Kernel maximum for a client's input pool: room for one SysEx event of about
// 56 KB (one cell per 28 bytes); the default of 200 cells stops near 5.6 KB.
constexpr int SequencerPoolCells = 2000;
// User-space buffers must hold one whole event; the defaults stall or fail
// from about 14-16 KB.
constexpr std::size_t SequencerBufferBytes = 128 * 1024;
// Room for the longest message and more while the input callback runs: what
// does not fit the kernel's input buffer is lost.
constexpr std::size_t RawInputBufferBytes = 256 * 1024;
// Room for the longest message the engine sends (its 64 KiB send buffer).
constexpr std::size_t RawOutputBufferBytes = 64 * 1024;
// Pieces of a message too large for the receiver's whole pool, as a hardware
// port's bridge would deliver them.
constexpr std::size_t SequencerPieceBytes = 256;
constexpr int RetryPauseMs = 1;
// One plug-in announces a client and then each of its ports; the watcher
// waits for this much quiet so that a burst gives one notice.
constexpr int AnnounceSettleMs = 100;

// extra: MhdrError when the bytes could not be passed on.
void markDone(MidiHeader* header, std::uint32_t extra = 0) {
    std::uint32_t flags = header->flags.load();
    while (!header->flags.compare_exchange_weak(flags, (flags & ~MhdrInQueue) | MhdrDone | extra,
                                                std::memory_order_release)) {
    }
}

bool inQueue(const MidiHeader* header) {
    return (header->flags.load() & MhdrInQueue) != 0;
}

// A counter file descriptor that wakes a thread blocked in poll().
class Waker {
  public:
    Waker() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Waker() {
        if (fd_ >= 0) ::close(fd_);
    }
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(fd_, &one, sizeof one);
    }
    void clear() {
        std::uint64_t value = 0;
        [[maybe_unused]] auto n = ::read(fd_, &value, sizeof value);
    }

  private:
    int fd_;
};

// Waits for one of fds or the waker, at most timeoutMs (-1: no limit).
void waitFor(std::vector<pollfd>& fds, Waker& waker, int timeoutMs) {
    fds.push_back({waker.fd(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), timeoutMs) > 0 && (fds.back().revents & POLLIN))
        waker.clear();
    fds.pop_back();
}

std::vector<pollfd> rawPollFds(snd_rawmidi_t* raw) {
    std::vector<pollfd> fds(static_cast<std::size_t>(snd_rawmidi_poll_descriptors_count(raw)));
    const int n = snd_rawmidi_poll_descriptors(raw, fds.data(), static_cast<unsigned>(fds.size()));
    fds.resize(static_cast<std::size_t>(std::max(n, 0)));
    return fds;
}

std::vector<pollfd> sequencerPollFds(snd_seq_t* seq, short events) {
    std::vector<pollfd> fds(static_cast<std::size_t>(snd_seq_poll_descriptors_count(seq, events)));
    const int n =
        snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned>(fds.size()), events);
    fds.resize(static_cast<std::size_t>(std::max(n, 0)));
    return fds;
}

MmResult openResult(int err) {
    switch (err) {
        case -EBUSY:
            return MmAllocated;
        case -ENOMEM:
            return MmNoMemory;
        case -ENOENT:
        case -ENODEV:
        case -ENXIO:
            return MmBadDeviceId;
        default:
            return MmError;
    }
}

// One open input device: a thread reads ALSA and fills the lent buffers. Every
// callback runs on that thread.
struct InStream {
    Endpoint endpoint;
    MidiInCallback callback = nullptr;
    std::uintptr_t instance = 0;
    snd_rawmidi_t* raw = nullptr;
    snd_seq_t* seq = nullptr;
    Waker waker;

    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool closing = false;
    bool closedByHost = false;
    std::deque<MidiHeader*> buffers;  // lent by the host; the front one is being filled
    alsa::SysexJoiner joiner;
    std::uint64_t resetsAsked = 0;
    std::uint64_t resetsDone = 0;
    std::thread reader;

    ~InStream() {
        if (raw) snd_rawmidi_close(raw);
        if (seq) snd_seq_close(seq);
    }

    bool onReader() const { return std::this_thread::get_id() == reader.get_id(); }

    void call(std::unique_lock<std::mutex>& lock, std::uint32_t message, std::uintptr_t param1) {
        lock.unlock();
        callback(this, message, instance, param1, 0);
        lock.lock();
    }

    void returnBuffersEmpty(std::unique_lock<std::mutex>& lock) {
        std::deque<MidiHeader*> returned;
        returned.swap(buffers);
        for (MidiHeader* buffer : returned) {
            buffer->bytesRecorded = 0;
            markDone(buffer);
        }
        for (MidiHeader* buffer : returned)
            call(lock, MimLongData, reinterpret_cast<std::uintptr_t>(buffer));
    }

    // One piece of what the device sent, in arrival order.
    void deliver(std::span<const std::uint8_t> piece) {
        std::unique_lock lock(mutex);
        while (!piece.empty() && started) {
            if (buffers.empty()) {
                // No buffer lent: the rest of this message is lost, as on a
                // platform port; what follows starts clean at the next 0xF0.
                joiner.reset();
                return;
            }
            MidiHeader* buffer = buffers.front();
            const auto step =
                joiner.feed(piece, {buffer->data, buffer->bufferLength}, buffer->bytesRecorded);
            piece = piece.subspan(step.consumed);
            if (step.bufferReady) {
                buffers.pop_front();
                markDone(buffer);
                call(lock, MimLongData, reinterpret_cast<std::uintptr_t>(buffer));
            }
        }
    }

    // Reads what has arrived; false once the device is gone.
    bool readRaw(std::vector<std::uint8_t>& scratch) {
        for (;;) {
            const ssize_t n = snd_rawmidi_read(raw, scratch.data(), scratch.size());
            if (n > 0) {
                deliver({scratch.data(), static_cast<std::size_t>(n)});
                continue;
            }
            return n == -EAGAIN || n == 0;
        }
    }

    bool readSequencer() {
        for (;;) {
            snd_seq_event_t* ev = nullptr;
            const int r = snd_seq_event_input(seq, &ev);
            if (r == -EAGAIN) return true;
            if (r == -ENOSPC) continue;  // the kernel lost events for lack of room; go on
            if (r < 0) return r == -EINTR;
            if (!ev || ev->type != SND_SEQ_EVENT_SYSEX) continue;
            // Only what the chosen port sends counts; our port takes no others.
            if (ev->source.client != endpoint.client || ev->source.port != endpoint.port) continue;
            deliver({static_cast<const std::uint8_t*>(ev->data.ext.ptr), ev->data.ext.len});
        }
    }

    void run() {
        {
            std::unique_lock lock(mutex);
            call(lock, MimOpen, 0);
        }
        std::vector<std::uint8_t> scratch(4096);
        std::vector<pollfd> fds = raw ? rawPollFds(raw) : sequencerPollFds(seq, POLLIN);
        for (;;) {
            {
                std::unique_lock lock(mutex);
                if (closing) break;
                if (resetsDone != resetsAsked) {
                    returnBuffersEmpty(lock);
                    resetsDone = resetsAsked;
                    changed.notify_all();
                    continue;
                }
            }
            waitFor(fds, waker, -1);
            const bool alive = raw ? readRaw(scratch) : readSequencer();
            if (!alive) fds.clear();  // unplugged: wait for the host to close
        }
        std::unique_lock lock(mutex);
        if (closedByHost) call(lock, MimClose, 0);
    }
};

// One open output device: a thread sends the queued messages one after the
// other and marks each done once ALSA has passed all of its bytes on.
struct OutStream {
    Endpoint endpoint;
    snd_rawmidi_t* raw = nullptr;
    std::size_t rawBufferBytes = 0;
    snd_seq_t* seq = nullptr;
    int seqPort = -1;
    Waker waker;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<MidiHeader*> queue;
    bool sending = false;  // the writer reads the front header's bytes
    std::atomic<std::uint64_t> resets{0};
    std::atomic<bool> closing{false};
    std::thread writer;

    ~OutStream() {
        if (raw) snd_rawmidi_close(raw);
        if (seq) snd_seq_close(seq);
    }

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return closing.load() || !queue.empty(); });
            if (closing) break;
            MidiHeader* header = queue.front();
            const std::uint64_t ticket = resets.load();
            sending = true;
            lock.unlock();
            auto abandoned = [&] { return resets.load() != ticket || closing.load(); };
            const bool sent = raw ? sendRaw(header->data, header->bufferLength, abandoned)
                                  : sendSequencer(header->data, header->bufferLength, abandoned);
            lock.lock();
            sending = false;
            // After outReset the queue no longer holds it: the reset marks it.
            if (!queue.empty() && queue.front() == header) {
                queue.pop_front();
                markDone(header, sent ? 0 : MhdrError);
            }
            changed.notify_all();
        }
    }

    // Bytes go into the kernel's buffer only while it is empty, so that the
    // driver is never still passing bytes on while a write copies new ones in:
    // the kernel reserves the space of a write before it has copied the bytes,
    // and a driver that is draining at that moment can pass on what was there
    // before (seen on Linux 6.1 with snd-virmidi: stale bytes of an earlier
    // message, with its F0, inside a data block). The buffer is raised at open
    // to hold a whole message, so a message normally goes in with one write.
    //
    // A device that fails a write (unplugged) takes no more bytes; the message
    // is then marked done with MhdrError, so the send reports its failure
    // rather than success. False when the message did not go out whole.
    bool sendRaw(const std::uint8_t* data, std::size_t length,
                 const std::function<bool()>& abandoned) {
        std::size_t offset = 0;
        while (offset < length) {
            if (!waitUntilDrained(abandoned)) return false;
            const std::size_t piece = std::min(length - offset, rawBufferBytes);
            const ssize_t n = snd_rawmidi_write(raw, data + offset, piece);
            if (n > 0)
                offset += static_cast<std::size_t>(n);
            else if (n != -EAGAIN && n != 0)
                return false;
        }
        // Done means gone from the kernel's buffer too, so that the reply's
        // time limit starts when the device has the whole message.
        return waitUntilDrained(abandoned);
    }

    // False when the send was abandoned or the device is gone.
    bool waitUntilDrained(const std::function<bool()>& abandoned) {
        snd_rawmidi_status_t* status = nullptr;
        snd_rawmidi_status_alloca(&status);
        std::vector<pollfd> none;
        for (;;) {
            if (abandoned() || snd_rawmidi_status(raw, status) < 0) return false;
            if (snd_rawmidi_status_get_avail(status) >= rawBufferBytes) return true;
            waitFor(none, waker, RetryPauseMs);
        }
    }

    // -EAGAIN: the receiver's pool is full for now, so wait and send again.
    // Returns the final result.
    int sendEvent(const std::uint8_t* data, std::size_t length,
                  const std::function<bool()>& abandoned) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_source(&ev, seqPort);
        snd_seq_ev_set_dest(&ev, endpoint.client, endpoint.port);
        snd_seq_ev_set_direct(&ev);
        snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(length), const_cast<std::uint8_t*>(data));
        std::vector<pollfd> none;
        for (;;) {
            const int r = snd_seq_event_output_direct(seq, &ev);
            if (r >= 0) return 0;
            if (r != -EAGAIN || abandoned()) return r;
            waitFor(none, waker, RetryPauseMs);
        }
    }

    // False when the message did not go out whole (the receiver went away).
    bool sendSequencer(const std::uint8_t* data, std::size_t length,
                       const std::function<bool()>& abandoned) {
        // -ENOMEM: larger than the receiver's whole pool could ever hold.
        const int whole = sendEvent(data, length, abandoned);
        if (whole != -ENOMEM) return whole == 0;
        for (std::size_t offset = 0; offset < length; offset += SequencerPieceBytes) {
            const std::size_t n = std::min(SequencerPieceBytes, length - offset);
            if (sendEvent(data + offset, n, abandoned) != 0) return false;
        }
        return true;
    }
};

// Listens to the sequencer's announce port and calls the watcher, on its own
// thread, once a burst of client or port announcements has settled.
struct PortWatch {
    snd_seq_t* seq = nullptr;
    Waker waker;
    std::atomic<bool> closing{false};
    std::thread thread;
    std::function<void()> notify;  // set before the thread starts, never changed

    ~PortWatch() {
        if (seq) snd_seq_close(seq);
    }

    bool open() {
        if (!waker.valid()) return false;
        seq = alsa::openSequencer(SND_SEQ_OPEN_INPUT);
        if (!seq) return false;
        // Takes events only, so nobody else can subscribe and it is listed nowhere.
        const int port = snd_seq_create_simple_port(
            seq, "announce", SND_SEQ_PORT_CAP_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        return port >= 0 && snd_seq_connect_from(seq, port, SND_SEQ_CLIENT_SYSTEM,
                                                 SND_SEQ_PORT_SYSTEM_ANNOUNCE) >= 0;
    }

    // Reads what has arrived; true when a client or port came, went or changed.
    bool drain() {
        bool changed = false;
        for (;;) {
            snd_seq_event_t* ev = nullptr;
            const int r = snd_seq_event_input(seq, &ev);
            if (r == -EAGAIN || (r < 0 && r != -ENOSPC)) return changed;
            if (r == -ENOSPC) {  // announcements lost: something changed
                changed = true;
                continue;
            }
            if (!ev) continue;
            switch (ev->type) {
                case SND_SEQ_EVENT_CLIENT_START:
                case SND_SEQ_EVENT_CLIENT_EXIT:
                case SND_SEQ_EVENT_CLIENT_CHANGE:
                case SND_SEQ_EVENT_PORT_START:
                case SND_SEQ_EVENT_PORT_EXIT:
                case SND_SEQ_EVENT_PORT_CHANGE:
                    changed = true;
                    break;
                default:
                    break;
            }
        }
    }

    void run() {
        std::vector<pollfd> fds = sequencerPollFds(seq, POLLIN);
        while (!closing) {
            waitFor(fds, waker, -1);
            if (closing || !drain()) continue;
            while (!closing) {
                waitFor(fds, waker, AnnounceSettleMs);
                if (!drain()) break;
            }
            if (!closing) notify();
        }
    }

    void stop() {
        closing = true;
        waker.wake();
        if (thread.joinable()) thread.join();
    }
};

}  // namespace

struct AlsaMidiService::Impl {
    std::mutex listMutex;
    snd_seq_t* query = nullptr;  // for listing only; opened when first needed
    std::vector<Endpoint> ins;
    std::vector<Endpoint> outs;
    bool insListed = false;
    bool outsListed = false;

    std::mutex handleMutex;
    std::set<InStream*> inStreams;
    std::set<OutStream*> outStreams;

    // watchMutex is held while the watcher runs, so replacing it waits for a
    // call in progress; the watch thread is started and stopped under it too.
    std::mutex watchMutex;
    PortsChangedFn watcher;
    std::unique_ptr<PortWatch> watch;

    ~Impl() {
        if (query) snd_seq_close(query);
    }

    std::vector<Endpoint>& list(Direction direction) {
        if (!query) query = alsa::openSequencer(SND_SEQ_OPEN_DUPLEX);
        auto& endpoints = direction == Direction::In ? ins : outs;
        endpoints = alsa::listEndpoints(direction, query);
        (direction == Direction::In ? insListed : outsListed) = true;
        return endpoints;
    }

    // The endpoint of index in the last list (listed now if never before).
    bool endpoint(Direction direction, int index, Endpoint& out) {
        std::lock_guard lock(listMutex);
        const bool listed = direction == Direction::In ? insListed : outsListed;
        auto& endpoints = listed ? (direction == Direction::In ? ins : outs) : list(direction);
        if (index < 0 || index >= static_cast<int>(endpoints.size())) return false;
        out = endpoints[static_cast<std::size_t>(index)];
        return true;
    }

    InStream* findIn(MidiHandle handle) {
        std::lock_guard lock(handleMutex);
        auto* s = static_cast<InStream*>(handle);
        return inStreams.count(s) ? s : nullptr;
    }
    OutStream* findOut(MidiHandle handle) {
        std::lock_guard lock(handleMutex);
        auto* s = static_cast<OutStream*>(handle);
        return outStreams.count(s) ? s : nullptr;
    }
};

AlsaMidiService::AlsaMidiService() : impl_(std::make_unique<Impl>()) {
    alsa::silenceAlsaDiagnostics();
}

AlsaMidiService::~AlsaMidiService() {
    watchPorts({});
    // Handles the host never closed: stop their threads before ALSA goes.
    for (InStream* s : impl_->inStreams) {
        {
            std::lock_guard lock(s->mutex);
            s->closing = true;
        }
        s->waker.wake();
        s->reader.join();
        delete s;
    }
    for (OutStream* s : impl_->outStreams) {
        {
            std::lock_guard lock(s->mutex);
            s->closing = true;
        }
        s->changed.notify_all();
        s->waker.wake();
        s->writer.join();
        delete s;
    }
}

int AlsaMidiService::inDeviceCount() {
    std::lock_guard lock(impl_->listMutex);
    return static_cast<int>(impl_->list(Direction::In).size());
}

MmResult AlsaMidiService::inDeviceName(int index, std::string& name) {
    Endpoint e;
    if (!impl_->endpoint(Direction::In, index, e)) return MmBadDeviceId;
    name = e.name;
    return MmOk;
}

MmResult AlsaMidiService::inOpen(MidiHandle* handle, int index, MidiInCallback callback,
                                 std::uintptr_t instance) {
    if (!handle || !callback) return MmInvalidParam;
    Endpoint endpoint;
    if (!impl_->endpoint(Direction::In, index, endpoint)) return MmBadDeviceId;
    auto stream = std::make_unique<InStream>();
    stream->endpoint = endpoint;
    stream->callback = callback;
    stream->instance = instance;
    if (!stream->waker.valid()) return MmNoMemory;

    if (endpoint.kind == Endpoint::Kind::Raw) {
        const std::string name = alsa::rawDeviceName(endpoint);
        const int err = snd_rawmidi_open(&stream->raw, nullptr, name.c_str(), SND_RAWMIDI_NONBLOCK);
        if (err < 0) {
            stream->raw = nullptr;
            return openResult(err);
        }
        snd_rawmidi_params_t* params = nullptr;
        snd_rawmidi_params_alloca(&params);
        if (snd_rawmidi_params_current(stream->raw, params) >= 0 &&
            snd_rawmidi_params_set_buffer_size(stream->raw, params, RawInputBufferBytes) >= 0)
            snd_rawmidi_params(stream->raw, params);  // the default 4 KB still works, just tighter
    } else {
        stream->seq = alsa::openSequencer(SND_SEQ_OPEN_INPUT);
        if (!stream->seq) return MmError;
        // Our port takes events only: no other program can subscribe to it,
        // so it never shows up in anyone's port list, ours included.
        const int port = snd_seq_create_simple_port(
            stream->seq, "in", SND_SEQ_PORT_CAP_WRITE,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (port < 0) return MmError;
        snd_seq_set_client_pool_input(stream->seq, SequencerPoolCells);
        snd_seq_set_input_buffer_size(stream->seq, SequencerBufferBytes);
        const int err = snd_seq_connect_from(stream->seq, port, endpoint.client, endpoint.port);
        if (err < 0) return openResult(err);
    }
    InStream* s = stream.release();
    {
        std::lock_guard lock(impl_->handleMutex);
        impl_->inStreams.insert(s);
    }
    s->reader = std::thread([s] { s->run(); });
    *handle = s;
    return MmOk;
}

MmResult AlsaMidiService::inPrepareHeader(MidiHandle handle, MidiHeader* header) {
    if (!impl_->findIn(handle)) return MmInvalidHandle;
    if (!header || !header->data || header->bufferLength == 0) return MmInvalidParam;
    header->flags.fetch_or(MhdrPrepared);
    return MmOk;
}

MmResult AlsaMidiService::inUnprepareHeader(MidiHandle handle, MidiHeader* header) {
    if (!impl_->findIn(handle)) return MmInvalidHandle;
    if (!header) return MmInvalidParam;
    if (inQueue(header)) return MidiStillPlaying;
    header->flags.fetch_and(~MhdrPrepared);
    return MmOk;
}

MmResult AlsaMidiService::inAddBuffer(MidiHandle handle, MidiHeader* header) {
    InStream* s = impl_->findIn(handle);
    if (!s) return MmInvalidHandle;
    if (!header) return MmInvalidParam;
    std::lock_guard lock(s->mutex);
    if (!(header->flags.load() & MhdrPrepared)) return MidiUnprepared;
    if (inQueue(header)) return MidiStillPlaying;
    header->bytesRecorded = 0;
    header->flags.store((header->flags.load() & ~(MhdrDone | MhdrError)) | MhdrInQueue);
    s->buffers.push_back(header);
    return MmOk;
}

MmResult AlsaMidiService::inStart(MidiHandle handle) {
    InStream* s = impl_->findIn(handle);
    if (!s) return MmInvalidHandle;
    std::lock_guard lock(s->mutex);
    if (!s->started) s->joiner.reset();  // a message cut by an earlier stop is not resumed
    s->started = true;
    return MmOk;
}

MmResult AlsaMidiService::inStop(MidiHandle handle) {
    InStream* s = impl_->findIn(handle);
    if (!s) return MmInvalidHandle;
    std::lock_guard lock(s->mutex);
    s->started = false;
    s->joiner.reset();
    if (!s->buffers.empty()) s->buffers.front()->bytesRecorded = 0;
    return MmOk;
}

// Stops input and hands every lent buffer back, empty, through the callback
// on the reader thread; returns once that has happened.
MmResult AlsaMidiService::inReset(MidiHandle handle) {
    InStream* s = impl_->findIn(handle);
    if (!s) return MmInvalidHandle;
    std::unique_lock lock(s->mutex);
    s->started = false;
    s->joiner.reset();
    if (s->onReader()) {  // from inside the callback
        s->returnBuffersEmpty(lock);
        return MmOk;
    }
    const std::uint64_t ticket = ++s->resetsAsked;
    s->waker.wake();
    s->changed.wait(lock, [&] { return s->resetsDone >= ticket; });
    return MmOk;
}

MmResult AlsaMidiService::inClose(MidiHandle handle) {
    InStream* s = impl_->findIn(handle);
    if (!s) return MmInvalidHandle;
    {
        std::lock_guard lock(s->mutex);
        if (!s->buffers.empty()) return MidiStillPlaying;  // the host must reset first
        if (s->onReader()) return MmError;
        s->closing = true;
        s->closedByHost = true;
    }
    s->waker.wake();
    s->reader.join();
    {
        std::lock_guard lock(impl_->handleMutex);
        impl_->inStreams.erase(s);
    }
    delete s;
    return MmOk;
}

int AlsaMidiService::outDeviceCount() {
    std::lock_guard lock(impl_->listMutex);
    return static_cast<int>(impl_->list(Direction::Out).size());
}

MmResult AlsaMidiService::outDeviceName(int index, std::string& name) {
    Endpoint e;
    if (!impl_->endpoint(Direction::Out, index, e)) return MmBadDeviceId;
    name = e.name;
    return MmOk;
}

MmResult AlsaMidiService::outOpen(MidiHandle* handle, int index) {
    if (!handle) return MmInvalidParam;
    Endpoint endpoint;
    if (!impl_->endpoint(Direction::Out, index, endpoint)) return MmBadDeviceId;
    auto stream = std::make_unique<OutStream>();
    stream->endpoint = endpoint;
    if (!stream->waker.valid()) return MmNoMemory;

    if (endpoint.kind == Endpoint::Kind::Raw) {
        const std::string name = alsa::rawDeviceName(endpoint);
        const int err = snd_rawmidi_open(nullptr, &stream->raw, name.c_str(), SND_RAWMIDI_NONBLOCK);
        if (err < 0) {
            stream->raw = nullptr;
            return openResult(err);
        }
        snd_rawmidi_params_t* params = nullptr;
        snd_rawmidi_params_alloca(&params);
        if (snd_rawmidi_params_current(stream->raw, params) < 0) return MmError;
        // No stray active-sensing byte to the device when we close; room for
        // a whole message (see sendRaw). A driver that refuses either keeps
        // its defaults and still works, in pieces.
        if (snd_rawmidi_params_set_no_active_sensing(stream->raw, params, 1) >= 0)
            snd_rawmidi_params(stream->raw, params);
        if (snd_rawmidi_params_set_buffer_size(stream->raw, params, RawOutputBufferBytes) >= 0)
            snd_rawmidi_params(stream->raw, params);
        if (snd_rawmidi_params_current(stream->raw, params) < 0) return MmError;
        stream->rawBufferBytes = snd_rawmidi_params_get_buffer_size(params);
        if (stream->rawBufferBytes == 0) return MmError;
    } else {
        stream->seq = alsa::openSequencer(SND_SEQ_OPEN_OUTPUT);
        if (!stream->seq) return MmError;
        snd_seq_port_info_t* info = nullptr;
        snd_seq_port_info_alloca(&info);
        const int err =
            snd_seq_get_any_port_info(stream->seq, endpoint.client, endpoint.port, info);
        if (err < 0) return openResult(err);  // gone since the list was made
        stream->seqPort = snd_seq_create_simple_port(
            stream->seq, "out", SND_SEQ_PORT_CAP_READ,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        if (stream->seqPort < 0) return MmError;
        snd_seq_set_output_buffer_size(stream->seq, SequencerBufferBytes);
        snd_seq_set_client_pool_output(stream->seq, SequencerPoolCells);
    }
    OutStream* s = stream.release();
    {
        std::lock_guard lock(impl_->handleMutex);
        impl_->outStreams.insert(s);
    }
    s->writer = std::thread([s] { s->run(); });
    *handle = s;
    return MmOk;
}

MmResult AlsaMidiService::outClose(MidiHandle handle) {
    OutStream* s = impl_->findOut(handle);
    if (!s) return MmInvalidHandle;
    {
        std::lock_guard lock(s->mutex);
        if (!s->queue.empty()) return MidiStillPlaying;  // the host must wait or reset first
        s->closing = true;
    }
    s->changed.notify_all();
    s->waker.wake();
    s->writer.join();
    {
        std::lock_guard lock(impl_->handleMutex);
        impl_->outStreams.erase(s);
    }
    delete s;
    return MmOk;
}

MmResult AlsaMidiService::outPrepareHeader(MidiHandle handle, MidiHeader* header) {
    if (!impl_->findOut(handle)) return MmInvalidHandle;
    if (!header || !header->data || header->bufferLength == 0) return MmInvalidParam;
    header->flags.fetch_or(MhdrPrepared);
    return MmOk;
}

MmResult AlsaMidiService::outUnprepareHeader(MidiHandle handle, MidiHeader* header) {
    if (!impl_->findOut(handle)) return MmInvalidHandle;
    if (!header) return MmInvalidParam;
    if (inQueue(header)) return MidiStillPlaying;
    header->flags.fetch_and(~MhdrPrepared);
    return MmOk;
}

MmResult AlsaMidiService::outLongMsg(MidiHandle handle, MidiHeader* header) {
    OutStream* s = impl_->findOut(handle);
    if (!s) return MmInvalidHandle;
    if (!header) return MmInvalidParam;
    std::lock_guard lock(s->mutex);
    if (!(header->flags.load() & MhdrPrepared)) return MidiUnprepared;
    if (inQueue(header)) return MidiStillPlaying;
    header->flags.store((header->flags.load() & ~(MhdrDone | MhdrError)) | MhdrInQueue);
    s->queue.push_back(header);
    s->changed.notify_all();
    return MmOk;
}

// Abandons every queued send. Returns once the writer has let go of the bytes
// of the one in progress, so the owner may reuse them at once.
MmResult AlsaMidiService::outReset(MidiHandle handle) {
    OutStream* s = impl_->findOut(handle);
    if (!s) return MmInvalidHandle;
    std::unique_lock lock(s->mutex);
    ++s->resets;
    std::deque<MidiHeader*> abandoned;
    abandoned.swap(s->queue);
    s->waker.wake();
    s->changed.wait(lock, [&] { return !s->sending; });
    // What the kernel still holds of a cut message is thrown away too.
    if (s->raw) snd_rawmidi_drop(s->raw);
    for (MidiHeader* header : abandoned) markDone(header);
    s->changed.notify_all();
    return MmOk;
}

bool AlsaMidiService::watchPorts(PortsChangedFn changed) {
    std::unique_ptr<PortWatch> stopped;
    {
        std::lock_guard lock(impl_->watchMutex);
        impl_->watcher = std::move(changed);
        if (impl_->watcher && !impl_->watch) {
            auto watch = std::make_unique<PortWatch>();
            if (!watch->open()) {
                impl_->watcher = {};
                return false;
            }
            watch->notify = [impl = impl_.get()] {
                std::lock_guard lock(impl->watchMutex);
                if (impl->watcher) impl->watcher();
            };
            PortWatch* w = watch.get();
            watch->thread = std::thread([w] { w->run(); });
            impl_->watch = std::move(watch);
        } else if (!impl_->watcher) {
            stopped = std::move(impl_->watch);
        }
    }
    // Joined outside the lock: the thread may be waiting for it to notify.
    if (stopped) stopped->stop();
    return true;
}

std::string AlsaMidiService::errorText(MmResult result) {
    switch (result) {
        case MmOk:
            return "The operation succeeded.";
        case MmBadDeviceId:
            return "The MIDI device is not there (any more).";
        case MmAllocated:
            return "The MIDI device is in use by another program.";
        case MmInvalidHandle:
            return "The handle is not an open MIDI device.";
        case MmNoMemory:
            return "Not enough memory.";
        case MmInvalidParam:
            return "A parameter is not valid.";
        case MidiUnprepared:
            return "The buffer is not prepared.";
        case MidiStillPlaying:
            return "Buffers are still in use.";
        default:
            return "The ALSA MIDI service reported an error.";
    }
}

}  // namespace q4m::midi
