// q4m-updater.exe: the updater's window over the system's MIDI ports (WinMM).
#include "app/win32/win32_app.h"
#include "midi/winmm/winmm_midi.h"

int main(int argc, char** argv) {
    if (q4m::app::win32::answerVersion(argc, argv, "q4m-updater")) return 0;
    q4m::midi::WinMmMidiService midi;
    q4m::midi::WinMmTimerService timer;
    return q4m::app::win32::runUpdater(midi, timer);
}
