#include "tools/cli/platform_midi.h"

namespace q4m::cli {

std::unique_ptr<midi::MidiService> openPlatformMidi(std::string& why) {
    why = "this build has no MIDI backend";
    return nullptr;
}

}  // namespace q4m::cli
