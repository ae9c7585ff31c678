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
// Japanese name of a generic USB audio device ("USB オーディオ デバイス"), in
// the encoding the platform reports port names in: the Shift-JIS code page of a
// Japanese Windows system, UTF-8 elsewhere.
#ifdef _WIN32
inline constexpr std::string_view GenericJapanesePortName =
    "USB \x83\x49\x81\x5B\x83\x66\x83\x42\x83\x49 \x83\x66\x83\x6F\x83\x43\x83\x58";
#else
inline constexpr std::string_view GenericJapanesePortName =
    "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
    "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9";
#endif
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
