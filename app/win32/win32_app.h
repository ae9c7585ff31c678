// Start-up's toolkit side on Windows: the standard controls, the
// application's message box, and the main window run modally over the given
// MIDI and timer services.
#pragma once

#include <string>
#include <string_view>

#include "app/updater_app.h"
#include "engine/timings.h"
#include "midi/platform.h"

namespace q4m::app::win32 {

class Win32AppPlatform : public AppPlatform {
  public:
    Win32AppPlatform(midi::MidiService& midi, midi::TimerService& timer,
                     const engine::Timings& timings = engine::DefaultTimings);
    // Caption: the executable's file name without its extension.
    void appMessageBox(std::string_view text) override;
    void runMainDialog(int instanceNumber) override;

  private:
    midi::MidiService& midi_;
    midi::TimerService& timer_;
    const engine::Timings timings_;
};

// Everything main() does once the services exist: the standard controls,
// the instance guard, then the window. Returns the exit status.
int runUpdater(midi::MidiService& midi, midi::TimerService& timer);

// The application name: the executable's file name without its extension.
std::string applicationName();

// "PROGRAM --version" answers with the version line and true, before any
// window; anything else gives false.
bool answerVersion(int argc, char** argv, std::string_view program);

}  // namespace q4m::app::win32
