// The MIDI service over ALSA (Linux).
//
// Which ALSA interface carries the bytes:
//  - Ports of sound cards (USB-MIDI devices, snd-virmidi) go through the raw
//    MIDI interface. Its writes have flow control and its output buffer can be
//    waited empty, so a send is done only once the kernel has passed every
//    byte on; bytes are written only into an empty buffer (see sendRaw for
//    the kernel race this avoids). The sequencer's bridge to such ports has a
//    4096-byte buffer per port and silently drops a SysEx event that does not
//    fit; our data blocks are 4700 bytes, so the bridge is never used for them.
//  - Pure software sequencer clients (a simulator, Midi Through) have no raw
//    device; they get sequencer events sent directly to their port. The kernel
//    reports when the receiver's pool has no room, and the send waits and
//    tries again; a message larger than the receiver's whole pool goes out in
//    256-byte pieces, as a hardware port would deliver it.
//
// Device lists are read anew on every count call (devices come and go); names
// and opens refer to the list of the last count call. Ports coming and going
// are noticed through the sequencer's announcements (watchPorts): a USB
// device's card shows up there as a kernel client when the kernel's
// sequencer MIDI driver is loaded, as it is by default. Without an ALSA service
// (no /dev/snd) both lists are empty, opens fail and nothing is printed.
#pragma once

#include <memory>

#include "midi/platform.h"

namespace q4m::midi {

class AlsaMidiService : public MidiService {
  public:
    AlsaMidiService();
    ~AlsaMidiService() override;
    AlsaMidiService(const AlsaMidiService&) = delete;
    AlsaMidiService& operator=(const AlsaMidiService&) = delete;

    int inDeviceCount() override;
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
    bool watchPorts(PortsChangedFn changed) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace q4m::midi
