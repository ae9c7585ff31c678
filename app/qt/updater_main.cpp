// q4m-updater: the updater's window over the system's MIDI ports.
#include <QApplication>
#include <cstdio>
#include <string_view>

#include "app/qt/qt_app_platform.h"
#include "midi/portable/portable_timer.h"
#include "tools/common/version.h"
#if defined(Q4M_HAVE_ALSA)
#include "midi/alsa/alsa_midi.h"
#else
#include "midi/virtual/virtual_midi.h"
#endif

int main(int argc, char** argv) {
    // Answered before Qt starts, so that it works without a display.
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        std::puts(q4m::tools::versionLine("q4m-updater").c_str());
        return 0;
    }
    QApplication application(argc, argv);
#if defined(Q4M_HAVE_ALSA)
    q4m::midi::AlsaMidiService midi;
#else
    // Built without ALSA: a service with no ports, so the window still runs.
    q4m::midi::VirtualMidiService midi;
#endif
    q4m::midi::PortableTimerService timer;
    return q4m::app::qt::runUpdater(midi, timer);
}
