// Finding the MIDI ports ALSA offers, and opening the sequencer quietly.
#pragma once

#include <alsa/asoundlib.h>

#include <string>
#include <vector>

namespace q4m::midi::alsa {

// One entry of a port list.
struct Endpoint {
    enum class Kind { Raw, Sequencer };
    Kind kind = Kind::Raw;
    int card = -1;  // Raw: hw:card,device,subdevice
    int device = 0;
    int subdevice = 0;
    int client = -1;  // Sequencer: client:port
    int port = 0;
    std::string name;
};

enum class Direction { In, Out };

// The name our own sequencer clients carry.
inline constexpr const char* OwnClientName = "Q4m Updater";

// Stops alsa-lib from printing its own diagnostics: the updater shows only its
// own texts, and a machine without sound support is not an error.
void silenceAlsaDiagnostics();

// True when the kernel offers sound devices at all (/dev/snd exists).
bool soundDevicesPresent();

// Opens a non-blocking sequencer client named OwnClientName; nullptr when the
// machine has no sequencer.
snd_seq_t* openSequencer(int streams);

// Hardware ports first (raw MIDI, card by card), then software sequencer
// ports, each with its list name. query may be nullptr (no sequencer).
std::vector<Endpoint> listEndpoints(Direction direction, snd_seq_t* query);

// "hw:card,device,subdevice" for a raw endpoint.
std::string rawDeviceName(const Endpoint& endpoint);

}  // namespace q4m::midi::alsa
