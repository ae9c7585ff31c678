#include "tools/cli/platform_midi.h"

#include <filesystem>

#if defined(Q4M_HAVE_ALSA)
#include "midi/alsa/alsa_midi.h"
#elif defined(_WIN32)
#include "midi/winmm/winmm_midi.h"
#endif

namespace q4m::cli {

std::unique_ptr<midi::MidiService> openPlatformMidi(std::string& why) {
#if defined(Q4M_HAVE_ALSA)
    // Without the sequencer device the service has no ports; say why, since an
    // empty list alone reads like "device not plugged in".
    std::error_code ec;
    if (!std::filesystem::exists("/dev/snd/seq", ec))
        why = "no ALSA sequencer on this machine (/dev/snd/seq is missing)";
    return std::make_unique<midi::AlsaMidiService>();
#elif defined(_WIN32)
    (void)why;
    return std::make_unique<midi::WinMmMidiService>();
#else
    why = "this build has no MIDI backend";
    return nullptr;
#endif
}

}  // namespace q4m::cli
