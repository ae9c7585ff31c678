// The machine's own MIDI service for runs without --simulate.
#pragma once

#include <memory>
#include <string>

#include "midi/platform.h"

namespace q4m::cli {

// The platform's service, or nothing (with the reason in why) when this build
// or this machine has none.
std::unique_ptr<midi::MidiService> openPlatformMidi(std::string& why);

}  // namespace q4m::cli
