// Turning the names ALSA reports into the names the port lists show.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "midi/platform.h"

namespace q4m::midi::alsa {

// The longest name a port list keeps (the ports' name limit). Names are
// made to fit here, so that the cut the ports make never merges two names.
inline constexpr std::size_t MaxPortName = PortNameLimit;

// The name of one port of a client (or card) that has portCount ports in the
// list being built. A client with one port shows as the client, so a device
// shows under its own product name; with several ports each shows the port
// name, prefixed with the client name unless the port name already carries it.
std::string portDisplayName(const std::string& clientName, const std::string& portName,
                            int portCount);

// Makes every name distinct and at most maxBytes long without splitting a
// UTF-8 character. A repeated name gets " (2)", " (3)", ... in order of
// appearance, the format the updater's window uses for a second, third, ...
// device of the same kind, with the base shortened to make room.
std::vector<std::string> makeDistinctNames(const std::vector<std::string>& names,
                                           std::size_t maxBytes = MaxPortName);

}  // namespace q4m::midi::alsa
