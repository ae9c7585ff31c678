// The command line of q4m-updater-cli: what it asks for, checked completely
// before any port or device is touched.
#pragma once

#include <optional>
#include <string>

#include "engine/timings.h"
#include "tools/common/sim_options.h"

namespace q4m::cli {

inline constexpr int ExitCompleted = 0;
inline constexpr int ExitUpdateFailed = 1;
inline constexpr int ExitBadUsage = 2;
inline constexpr int ExitNoPort = 3;
inline constexpr int ExitCancelled = 130;

struct CliOptions {
    bool list = false;
    std::optional<std::string> inPort;
    std::optional<std::string> outPort;
    int instance = 1;
    std::string traceFile;
    bool simulate = false;
    tools::SimOptions sim;
    double wireRate = 0;  // bytes per ms on the simulated link, 0 = instant
    double timeScale = 1.0;
};

// --time-scale's range: a thousandth of the product's limits (a 1 ms floor
// keeps each above zero) up to a thousand times them (60 s becomes under 17
// hours: far from any clock's overflow).
inline constexpr double MinTimeScale = 0.001;
inline constexpr double MaxTimeScale = 1000.0;

// The slowest simulated link accepted: below it one block would take hours.
inline constexpr double MinWireRate = 0.01;

struct ParseOutcome {
    // Set when the program should end at once (help, version, bad usage).
    std::optional<int> exitCode;
    std::string output;  // for stdout (help, version)
    std::string error;   // one line for stderr
};

// Parses and checks argv into options, everything before anything starts:
// loads --sim-flash-in, checks that --trace and --sim-flash-out can be written.
ParseOutcome parseCommandLine(int argc, const char* const* argv, CliOptions& options);

// The product's limits scaled by factor; the poll period and the send
// completion limit (a property of the wire, not of the device) stay as they are.
engine::Timings scaledTimings(double factor);

// The program's version line.
std::string versionText();

}  // namespace q4m::cli
