// The simulated device's options, registered by one function for both
// programs that run it (q4m-updater-cli --simulate and q4m-devsim), so that
// they share names, checks and meaning.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/device_simulator.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace q4m::tools {

struct SimOptions {
    std::string identity;   // 8 hex digits, empty: the simulator's default
    std::string bootStamp;  // empty: the simulator's default
    bool notInUpdateMode = false;
    double dropProbability = 0;
    double corruptProbability = 0;
    double errorProbability = 0;
    double lateProbability = 0;
    std::uint64_t seed = 1;
    int latencyMs = 0;
    std::optional<int> lateMs;  // unset: the caller's default
    bool chatter = false;
    int powerCutAfter = 0;  // 0: never
    std::string flashIn;
    std::string flashOut;
    std::vector<std::uint8_t> flashImage;  // --sim-flash-in, loaded by finishSimOptions
};

enum class SimSpelling {
    Prefixed,        // --sim-drop: the terminal tool, beside its own options
    BareOrPrefixed,  // --drop or --sim-drop: q4m-devsim, whose every option is the device's
};

// Longest delay accepted from the command line (latency, late replies): an
// hour, so that a typo cannot stall a run for weeks or overflow a clock.
inline constexpr int MaxDelayMs = 3'600'000;

// Registers the options on app, filling options as they are parsed. Returns
// them so that the caller can group them or make them depend on a flag.
std::vector<CLI::Option*> addSimOptions(CLI::App& app, SimOptions& options, SimSpelling spelling);

// After a successful parse, before anything starts: loads --sim-flash-in and
// checks that --sim-flash-out can be written. Empty, or one line naming the
// option and the reason.
std::string finishSimOptions(SimOptions& options, SimSpelling spelling);

// The simulator's configuration; lateDelay when --sim-late-ms is not given.
sim::SimConfig simConfig(const SimOptions& options, std::chrono::milliseconds lateDelay);

// Loads the --sim-flash-in image into device, and with it the boot stamp only
// when one is given, so that a chained run starts from exactly what the
// earlier run left.
void loadFlashInto(sim::DeviceSimulator& device, const SimOptions& options);

// Checks of single values, shared by both programs' other options. Each is
// empty when the text is fine, else the reason.
std::string checkProbability(const std::string& text);
std::string checkNonEmptyPath(const std::string& text);
std::string checkSeed(const std::string& text);

// Checks, changing nothing that exists, that a file can be written at path
// (created, or opened for writing). Devices and FIFOs pass unopened.
std::string checkWritableFile(const std::string& path);

}  // namespace q4m::tools
