// Turning --in/--out (or their absence) into a port index.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace q4m::cli {

struct PortChoice {
    int index = -1;     // -1: none, see error
    std::string error;  // why no port was chosen
};

// spec: a decimal index or an exact name; without it the device's names for
// this instance decide, and only a single match counts: a script must not
// update whichever of two devices happens to be listed last.
// kind names the list in messages ("MIDI IN", "MIDI OUT"), option the flag.
PortChoice choosePort(const std::vector<std::string>& names, const std::optional<std::string>& spec,
                      int instance, const std::string& kind, const std::string& option);

}  // namespace q4m::cli
