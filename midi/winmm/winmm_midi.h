// The platform's MIDI and timer services on Windows: WinMM, called as the
// ports and the poll timer expect (platform.h). Headers pass straight through
// (MidiHeader has MIDIHDR's layout); callbacks reach the ports through small
// trampolines with WinMM's calling convention.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "midi/platform.h"

namespace q4m::midi {

class WinMmMidiService : public MidiService {
  public:
    WinMmMidiService();
    ~WinMmMidiService() override;

    int inDeviceCount() override;
    // Names in the system's multibyte code page, as midiInGetDevCapsA gives them.
    MmResult inDeviceName(int index, std::string& name) override;
    MmResult inOpen(MidiHandle* handle, int index, MidiInCallback callback,
                    std::uintptr_t instance) override;
    MmResult inPrepareHeader(MidiHandle handle, MidiHeader* header) override;
    MmResult inUnprepareHeader(MidiHandle handle, MidiHeader* header) override;
    MmResult inAddBuffer(MidiHandle handle, MidiHeader* header) override;
    MmResult inStart(MidiHandle handle) override;
    MmResult inStop(MidiHandle handle) override;
    MmResult inReset(MidiHandle handle) override;
    MmResult inClose(MidiHandle handle) override;
    int outDeviceCount() override;
    MmResult outDeviceName(int index, std::string& name) override;
    MmResult outOpen(MidiHandle* handle, int index) override;
    MmResult outClose(MidiHandle handle) override;
    MmResult outPrepareHeader(MidiHandle handle, MidiHeader* header) override;
    MmResult outUnprepareHeader(MidiHandle handle, MidiHeader* header) override;
    MmResult outLongMsg(MidiHandle handle, MidiHeader* header) override;
    MmResult outReset(MidiHandle handle) override;
    std::string errorText(MmResult result) override;

    struct InDevice;
};

// timeSetEvent's periodic timer. A kill returns only when no callback of the
// event runs or will run: WinMM's TIME_KILL_SYNCHRONOUS keeps new ticks away,
// and a count of callbacks in progress covers one that had already begun.
class WinMmTimerService : public TimerService {
  public:
    WinMmTimerService();
    ~WinMmTimerService() override;

    MmResult getDevCaps(TimerCaps& caps) override;
    MmResult beginPeriod(std::uint32_t period) override;
    MmResult endPeriod(std::uint32_t period) override;
    std::uint32_t setEvent(std::uint32_t delay, std::uint32_t resolution, TimerCallback callback,
                           std::uintptr_t user) override;
    MmResult killEvent(std::uint32_t timerId) override;

    struct Event;

  private:
    std::mutex mutex_;
    // Every event this service created, live or killed. A killed event's
    // record is kept until the service goes, so a platform callback that
    // arrives late still finds valid memory (and does nothing).
    std::vector<std::unique_ptr<Event>> events_;
};

}  // namespace q4m::midi
