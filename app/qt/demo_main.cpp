// q4m-updater-demo: the same window over in-process virtual ports, with the
// device simulator answering as "VEXA Q Series", so a whole update can be
// watched without hardware.
#include <QApplication>
#include <cstdio>
#include <string_view>

#include "app/qt/qt_app_platform.h"
#include "midi/portable/portable_timer.h"
#include "midi/virtual/virtual_midi.h"
#include "sim/device_simulator.h"
#include "tools/common/version.h"

int main(int argc, char** argv) {
    // Answered before Qt starts, so that it works without a display.
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::puts(q4m::tools::versionLine("q4m-updater-demo").c_str());
        return 0;
    }
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
