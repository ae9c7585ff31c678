// Start-up's toolkit side in Qt: the application's message box and the main
// window run modally over the given MIDI and timer services.
#pragma once

#include "app/updater_app.h"
#include "engine/timings.h"
#include "midi/platform.h"

namespace q4m::app::qt {

class QtAppPlatform : public AppPlatform {
  public:
    QtAppPlatform(midi::MidiService& midi, midi::TimerService& timer,
                  const engine::Timings& timings = engine::DefaultTimings);
    void appMessageBox(std::string_view text) override;
    void runMainDialog(int instanceNumber) override;

  private:
    midi::MidiService& midi_;
    midi::TimerService& timer_;
    const engine::Timings timings_;
};

// Everything main() does once the services exist: the instance guard, then
// the window. A QApplication must exist. Returns the exit status.
int runUpdater(midi::MidiService& midi, midi::TimerService& timer);

}  // namespace q4m::app::qt
