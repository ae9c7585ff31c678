// The platform's MIDI and timer services, as the ports and the poll timer use
// them. Shaped after the Windows multimedia API so that a WinMM backend is a
// thin pass-through; the ALSA and in-process virtual backends implement the
// same contract. Results: 0 (MmOk) is success, anything else a failure.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace q4m::midi {

using MmResult = std::uint32_t;
inline constexpr MmResult MmOk = 0;
inline constexpr MmResult MmError = 1;
inline constexpr MmResult MmBadDeviceId = 2;
inline constexpr MmResult MmAllocated = 4;
inline constexpr MmResult MmInvalidHandle = 5;
inline constexpr MmResult MmNoMemory = 7;
inline constexpr MmResult MmInvalidParam = 11;
inline constexpr MmResult MidiUnprepared = 64;
inline constexpr MmResult MidiStillPlaying = 65;

// Header flags.
inline constexpr std::uint32_t MhdrDone = 1;  // the service is finished with the buffer
inline constexpr std::uint32_t MhdrPrepared = 2;
inline constexpr std::uint32_t MhdrInQueue = 4;  // the service holds the buffer
// Set with MhdrDone when the service could not pass an output message on (the
// device went away mid-send). WinMM reports such failures from its calls;
// services that find out later mark the header.
inline constexpr std::uint32_t MhdrError = 0x80000000u;

// Input callback messages.
inline constexpr std::uint32_t MimOpen = 961;
inline constexpr std::uint32_t MimClose = 962;
inline constexpr std::uint32_t MimData = 963;
inline constexpr std::uint32_t MimLongData = 964;

// Describes one long-message buffer lent to the service (output: the message to
// send; input: the receive buffer). flags is written by the service's thread
// and polled by the owner's, hence atomic. On Windows the header is WinMM's
// MIDIHDR itself, field for field (midi/winmm checks the layout), so that the
// done flag WinMM sets is the one the ports see.
struct MidiHeader {
    std::uint8_t* data = nullptr;
    std::uint32_t bufferLength = 0;
    std::uint32_t bytesRecorded = 0;
    std::uintptr_t user = 0;  // the owner's; no service touches it
    std::atomic<std::uint32_t> flags{0};
#ifdef _WIN32
    // WinMM's own: next, reserved, offset and eight reserved pointers.
    std::uint8_t platformReserved[10 * sizeof(void*) + 4]{};
#endif
};

// Longest device name the ports keep, in bytes. WinMM's names hold 31
// characters; elsewhere names are UTF-8 and the ports' 40-byte buffers allow
// 39, so that every name the updater looks for (the longest, the Japanese
// generic name with " (20)", is 37 bytes of UTF-8) can be reported whole.
#ifdef _WIN32
inline constexpr int PortNameLimit = 31;
#else
inline constexpr int PortNameLimit = 39;
#endif

// Opaque device handle; each backend casts it to its own type.
using MidiHandle = void*;

// Called on a thread of the service. For MimLongData, param1 is the MidiHeader*.
using MidiInCallback = void (*)(MidiHandle handle, std::uint32_t message, std::uintptr_t instance,
                                std::uintptr_t param1, std::uintptr_t param2);

class MidiService {
  public:
    virtual ~MidiService() = default;

    // Input devices.
    virtual int inDeviceCount() = 0;
    // The device's name in the platform's text encoding (UTF-8 on Linux);
    // a failure result when the device cannot be described.
    virtual MmResult inDeviceName(int index, std::string& name) = 0;
    virtual MmResult inOpen(MidiHandle* handle, int index, MidiInCallback callback,
                            std::uintptr_t instance) = 0;
    virtual MmResult inPrepareHeader(MidiHandle handle, MidiHeader* header) = 0;
    virtual MmResult inUnprepareHeader(MidiHandle handle, MidiHeader* header) = 0;
    // Lends a receive buffer. It comes back through the callback (MimLongData,
    // MhdrDone set) when a message ended in it, when it is full, or, with no
    // bytes recorded, on inReset.
    virtual MmResult inAddBuffer(MidiHandle handle, MidiHeader* header) = 0;
    virtual MmResult inStart(MidiHandle handle) = 0;
    virtual MmResult inStop(MidiHandle handle) = 0;
    virtual MmResult inReset(MidiHandle handle) = 0;
    virtual MmResult inClose(MidiHandle handle) = 0;

    // Output devices.
    virtual int outDeviceCount() = 0;
    virtual MmResult outDeviceName(int index, std::string& name) = 0;
    virtual MmResult outOpen(MidiHandle* handle, int index) = 0;
    virtual MmResult outClose(MidiHandle handle) = 0;
    virtual MmResult outPrepareHeader(MidiHandle handle, MidiHeader* header) = 0;
    virtual MmResult outUnprepareHeader(MidiHandle handle, MidiHeader* header) = 0;
    // Starts sending one whole SysEx message; MhdrDone is set once the service
    // is finished with the bytes.
    virtual MmResult outLongMsg(MidiHandle handle, MidiHeader* header) = 0;
    // Abandons sends in progress: their headers come back marked done.
    virtual MmResult outReset(MidiHandle handle) = 0;

    // The platform's text for a result (fetched by the ports, shown nowhere).
    virtual std::string errorText(MmResult result) = 0;

    // Port hot-plug: changed() is called, on a thread of the service, soon
    // after ports have appeared or disappeared (a burst may give one call).
    // One watcher at a time; an empty function stops watching, and once that
    // call returns the previous function is not running and never runs again.
    // False when the service cannot tell (the default): the user rescans.
    using PortsChangedFn = std::function<void()>;
    virtual bool watchPorts(PortsChangedFn changed) {
        (void)changed;
        return false;
    }
};

using TimerCallback = void (*)(std::uint32_t timerId, std::uint32_t message, std::uintptr_t user,
                               std::uintptr_t param1, std::uintptr_t param2);

struct TimerCaps {
    std::uint32_t periodMin = 1;
    std::uint32_t periodMax = 1000000;
};

class TimerService {
  public:
    virtual ~TimerService() = default;
    virtual MmResult getDevCaps(TimerCaps& caps) = 0;
    virtual MmResult beginPeriod(std::uint32_t period) = 0;
    virtual MmResult endPeriod(std::uint32_t period) = 0;
    // Periodic event: callback(id, 0, user, 0, 0) every delay ms on a thread of
    // the service. Returns the event id, 0 on failure.
    virtual std::uint32_t setEvent(std::uint32_t delay, std::uint32_t resolution,
                                   TimerCallback callback, std::uintptr_t user) = 0;
    // Ends the event; when it returns, no callback of it runs or will run
    // (unless called from that callback itself).
    virtual MmResult killEvent(std::uint32_t timerId) = 0;
};

}  // namespace q4m::midi
