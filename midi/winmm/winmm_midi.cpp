#include "midi/winmm/winmm_midi.h"

// clang-format off
#include <windows.h>
#include <mmsystem.h>
// clang-format on

#include <atomic>
#include <cstddef>
#include <thread>

namespace q4m::midi {

// The header is handed to WinMM as its MIDIHDR: same size, same offsets.
static_assert(sizeof(MidiHeader) == sizeof(MIDIHDR));
static_assert(offsetof(MidiHeader, data) == offsetof(MIDIHDR, lpData));
static_assert(offsetof(MidiHeader, bufferLength) == offsetof(MIDIHDR, dwBufferLength));
static_assert(offsetof(MidiHeader, bytesRecorded) == offsetof(MIDIHDR, dwBytesRecorded));
static_assert(offsetof(MidiHeader, user) == offsetof(MIDIHDR, dwUser));
static_assert(offsetof(MidiHeader, flags) == offsetof(MIDIHDR, dwFlags));
static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(DWORD) &&
              std::atomic<std::uint32_t>::is_always_lock_free);
// The constants the ports use are WinMM's.
static_assert(MhdrDone == MHDR_DONE && MhdrPrepared == MHDR_PREPARED &&
              MhdrInQueue == MHDR_INQUEUE);
static_assert(MimLongData == MIM_LONGDATA && MimData == MIM_DATA && MimOpen == MIM_OPEN &&
              MimClose == MIM_CLOSE);
static_assert(MmOk == MMSYSERR_NOERROR && MmError == MMSYSERR_ERROR &&
              MmBadDeviceId == MMSYSERR_BADDEVICEID && MmInvalidHandle == MMSYSERR_INVALHANDLE &&
              MmInvalidParam == MMSYSERR_INVALPARAM && MidiUnprepared == MIDIERR_UNPREPARED &&
              MidiStillPlaying == MIDIERR_STILLPLAYING);

namespace {

MIDIHDR* native(MidiHeader* header) {
    return reinterpret_cast<MIDIHDR*>(header);
}

// A device index as WinMM takes it: -1 stays -1 (MIDI_MAPPER for output).
UINT deviceId(int index) {
    return static_cast<UINT>(index);
}

}  // namespace

// What the input trampoline needs: the port's callback and instance. The
// port sees this record as its handle.
struct WinMmMidiService::InDevice {
    HMIDIIN handle = nullptr;
    MidiInCallback callback = nullptr;
    std::uintptr_t instance = 0;

    static void CALLBACK trampoline(HMIDIIN, UINT message, DWORD_PTR self, DWORD_PTR param1,
                                    DWORD_PTR param2) {
        auto* device = reinterpret_cast<InDevice*>(self);
        // Before midiInOpen returns, MIM_OPEN may come while the record is
        // still being filled: nothing of it is needed then.
        if (message == MIM_OPEN || !device->callback) return;
        device->callback(device, message, device->instance, param1, param2);
    }
};

namespace {

WinMmMidiService::InDevice* in(MidiHandle handle) {
    return static_cast<WinMmMidiService::InDevice*>(handle);
}

HMIDIOUT out(MidiHandle handle) {
    return static_cast<HMIDIOUT>(handle);
}

}  // namespace

WinMmMidiService::WinMmMidiService() = default;
WinMmMidiService::~WinMmMidiService() = default;

int WinMmMidiService::inDeviceCount() {
    return static_cast<int>(midiInGetNumDevs());
}

MmResult WinMmMidiService::inDeviceName(int index, std::string& name) {
    MIDIINCAPSA caps{};
    const MMRESULT result = midiInGetDevCapsA(deviceId(index), &caps, sizeof caps);
    if (result != MMSYSERR_NOERROR) return result;
    name.assign(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
    return MmOk;
}

MmResult WinMmMidiService::inOpen(MidiHandle* handle, int index, MidiInCallback callback,
                                  std::uintptr_t instance) {
    auto device = std::make_unique<InDevice>();
    HMIDIIN native = nullptr;
    const MMRESULT result =
        midiInOpen(&native, deviceId(index), reinterpret_cast<DWORD_PTR>(&InDevice::trampoline),
                   reinterpret_cast<DWORD_PTR>(device.get()), CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) return result;
    device->handle = native;
    // Data comes only after midiInStart, which the port calls after this returns.
    device->instance = instance;
    device->callback = callback;
    *handle = device.release();
    return MmOk;
}

MmResult WinMmMidiService::inPrepareHeader(MidiHandle handle, MidiHeader* header) {
    return midiInPrepareHeader(in(handle)->handle, native(header), sizeof(MIDIHDR));
}

MmResult WinMmMidiService::inUnprepareHeader(MidiHandle handle, MidiHeader* header) {
    return midiInUnprepareHeader(in(handle)->handle, native(header), sizeof(MIDIHDR));
}

MmResult WinMmMidiService::inAddBuffer(MidiHandle handle, MidiHeader* header) {
    return midiInAddBuffer(in(handle)->handle, native(header), sizeof(MIDIHDR));
}

MmResult WinMmMidiService::inStart(MidiHandle handle) {
    return midiInStart(in(handle)->handle);
}

MmResult WinMmMidiService::inStop(MidiHandle handle) {
    return midiInStop(in(handle)->handle);
}

MmResult WinMmMidiService::inReset(MidiHandle handle) {
    return midiInReset(in(handle)->handle);
}

MmResult WinMmMidiService::inClose(MidiHandle handle) {
    const MMRESULT result = midiInClose(in(handle)->handle);
    // Once closed no callback of the device runs: its record can go.
    if (result == MMSYSERR_NOERROR) delete in(handle);
    return result;
}

int WinMmMidiService::outDeviceCount() {
    return static_cast<int>(midiOutGetNumDevs());
}

MmResult WinMmMidiService::outDeviceName(int index, std::string& name) {
    MIDIOUTCAPSA caps{};
    const MMRESULT result = midiOutGetDevCapsA(deviceId(index), &caps, sizeof caps);
    if (result != MMSYSERR_NOERROR) return result;
    name.assign(caps.szPname, strnlen(caps.szPname, sizeof caps.szPname));
    return MmOk;
}

MmResult WinMmMidiService::outOpen(MidiHandle* handle, int index) {
    HMIDIOUT native = nullptr;
    const MMRESULT result = midiOutOpen(&native, deviceId(index), 0, 0, CALLBACK_NULL);
    if (result == MMSYSERR_NOERROR) *handle = native;
    return result;
}

MmResult WinMmMidiService::outClose(MidiHandle handle) {
    return midiOutClose(out(handle));
}

MmResult WinMmMidiService::outPrepareHeader(MidiHandle handle, MidiHeader* header) {
    return midiOutPrepareHeader(out(handle), native(header), sizeof(MIDIHDR));
}

MmResult WinMmMidiService::outUnprepareHeader(MidiHandle handle, MidiHeader* header) {
    return midiOutUnprepareHeader(out(handle), native(header), sizeof(MIDIHDR));
}

MmResult WinMmMidiService::outLongMsg(MidiHandle handle, MidiHeader* header) {
    return midiOutLongMsg(out(handle), native(header), sizeof(MIDIHDR));
}

MmResult WinMmMidiService::outReset(MidiHandle handle) {
    return midiOutReset(out(handle));
}

std::string WinMmMidiService::errorText(MmResult result) {
    char text[1024] = {};
    midiInGetErrorTextA(result, text, sizeof text);
    return text;
}

// --- timer -----------------------------------------------------------------

struct WinMmTimerService::Event {
    TimerCallback callback = nullptr;
    std::uintptr_t user = 0;
    std::atomic<UINT> id{0};
    std::atomic<bool> killed{false};
    std::atomic<int> running{0};
    std::atomic<DWORD> runningThread{0};

    static void CALLBACK trampoline(UINT id, UINT message, DWORD_PTR self, DWORD_PTR, DWORD_PTR) {
        auto* event = reinterpret_cast<Event*>(self);
        // Counted before the check, so a kill that sets killed first either
        // sees this call counted or this call sees killed.
        event->running.fetch_add(1);
        if (!event->killed.load()) {
            event->runningThread = GetCurrentThreadId();
            event->callback(id, message, event->user, 0, 0);
            event->runningThread = 0;
        }
        event->running.fetch_sub(1);
    }
};

WinMmTimerService::WinMmTimerService() = default;

WinMmTimerService::~WinMmTimerService() {
    for (const auto& event : events_)
        if (!event->killed.load()) killEvent(event->id.load());
}

MmResult WinMmTimerService::getDevCaps(TimerCaps& caps) {
    TIMECAPS native{};
    const MMRESULT result = timeGetDevCaps(&native, sizeof native);
    if (result != MMSYSERR_NOERROR) return result;
    caps.periodMin = native.wPeriodMin;
    caps.periodMax = native.wPeriodMax;
    return MmOk;
}

MmResult WinMmTimerService::beginPeriod(std::uint32_t period) {
    return timeBeginPeriod(period);
}

MmResult WinMmTimerService::endPeriod(std::uint32_t period) {
    return timeEndPeriod(period);
}

std::uint32_t WinMmTimerService::setEvent(std::uint32_t delay, std::uint32_t resolution,
                                          TimerCallback callback, std::uintptr_t user) {
    if (!callback) return 0;
    auto event = std::make_unique<Event>();
    event->callback = callback;
    event->user = user;
    std::lock_guard lock(mutex_);
    const UINT id = timeSetEvent(delay, resolution, &Event::trampoline,
                                 reinterpret_cast<DWORD_PTR>(event.get()),
                                 TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
    if (id == 0) return 0;
    event->id = id;
    events_.push_back(std::move(event));
    return id;
}

MmResult WinMmTimerService::killEvent(std::uint32_t timerId) {
    Event* event = nullptr;
    {
        std::lock_guard lock(mutex_);
        for (const auto& candidate : events_)
            if (candidate->id.load() == timerId && !candidate->killed.load())
                event = candidate.get();
    }
    if (!event) return MmInvalidParam;
    event->killed = true;
    const MMRESULT result = timeKillEvent(timerId);
    // Killed from its own callback: that call is the one still running, and it
    // cannot be waited for here.
    if (event->runningThread.load() == GetCurrentThreadId()) return result;
    while (event->running.load() != 0) std::this_thread::yield();
    return result;
}

}  // namespace q4m::midi
