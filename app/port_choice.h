// Which MIDI port marks the device: the names the updater looks for and the
// rule that picks one of the platform's ports by them. Pure functions, shared
// by the window and the command-line front end.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace q4m::app {

// Base names of the device's ports, in comparison order. The first is the
// name Windows gives a generic USB audio device on a Japanese system, kept as
// the Shift-JIS bytes it arrives in there. Other platforms never report it;
// its UTF-8 form (32 bytes) would not even survive the ports' 31-byte names.
inline constexpr std::string_view GenericJapanesePortName =
    "USB \x83\x49\x81\x5B\x83\x66\x83\x42\x83\x49 \x83\x66\x83\x6F\x83\x43\x83\x58";
inline constexpr std::array<std::string_view, 3> DevicePortNames{
    GenericJapanesePortName, "USB Audio Device", "VEXA Q Series"};

// The three names wanted for this instance: withInstanceSuffix of each base name.
std::array<std::string, 3> wantedPortNames(int instance);

// True when name equals one of the wanted names exactly (whole text, case and
// every byte).
bool isWantedPortName(std::string_view name, int instance);

// Indices of all ports whose names are wanted, in list order.
std::vector<int> matchingPorts(const std::vector<std::string>& names, int instance);

// The preselected index: the last matching port, -1 when none matches.
int preselectPort(const std::vector<std::string>& names, int instance);

}  // namespace q4m::app
