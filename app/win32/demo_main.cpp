// q4m-updater-demo.exe: the same window over in-process virtual ports, with
// the device simulator answering as "VEXA Q Series", so a whole update can be
// watched without hardware. The poll timer is WinMM's, as in the product.
#include "app/win32/win32_app.h"
#include "midi/virtual/virtual_midi.h"
#include "midi/winmm/winmm_midi.h"
#include "sim/device_simulator.h"

int main(int argc, char** argv) {
    if (q4m::app::win32::answerVersion(argc, argv, "q4m-updater-demo")) return 0;
    q4m::midi::VirtualMidiService midi;
    // Other ports first, as on a real system, so the preselection has work to do.
    midi.addOutputDevice("Microsoft GS Wavetable Synth");
    midi.addOutputDevice("USB Audio Device (2)");
    midi.addInputDevice("USB Audio Device (2)");
    // About USB-MIDI full speed, so the progress can be followed.
    midi.setWireRate(48.0);
    q4m::midi::WinMmTimerService timer;
    int status = 0;
    {
        q4m::sim::DeviceSimulator device;
        device.attach(midi, "VEXA Q Series");
        status = q4m::app::win32::runUpdater(midi, timer);
    }
    return status;
}
