// q4m-updater-demo: the same window over in-process virtual ports, with the
// device simulator answering as "VEXA Q Series", so a whole update can be
// watched without hardware.
#include <QApplication>

#include "app/qt/qt_app_platform.h"
#include "midi/portable/portable_timer.h"
#include "midi/virtual/virtual_midi.h"
#include "sim/device_simulator.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    q4m::midi::VirtualMidiService midi;
    // Other ports first, as on a real system, so the preselection has work to do.
    midi.addOutputDevice("Midi Through Port-0");
    midi.addInputDevice("Midi Through Port-0");
    midi.addOutputDevice("USB Audio Device (2)");
    midi.addInputDevice("USB Audio Device (2)");
    // About USB-MIDI full speed, so the progress can be followed.
    midi.setWireRate(48.0);
    q4m::midi::PortableTimerService timer;
    int status = 0;
    {
        q4m::sim::DeviceSimulator device;
        device.attach(midi, "VEXA Q Series");
        status = q4m::app::qt::runUpdater(midi, timer);
    }
    return status;
}
