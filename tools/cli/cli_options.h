// The command line of q4m-updater-cli: what it asks for, checked completely
// before any port or device is touched.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/timings.h"

namespace q4m::cli {

inline constexpr int ExitCompleted = 0;
inline constexpr int ExitUpdateFailed = 1;
inline constexpr int ExitBadUsage = 2;
inline constexpr int ExitNoPort = 3;
inline constexpr int ExitCancelled = 130;

inline constexpr std::size_t FlashImageSize = 1 << 20;

struct SimOptions {
    std::array<std::uint8_t, 4> identity{0x3C, 0x00, 0x02, 0x00};
    std::string bootStamp = "0.90";
    bool bootStampGiven = false;
    bool notInUpdateMode = false;
    double dropProbability = 0;
    double corruptProbability = 0;
    double errorProbability = 0;
    std::uint64_t seed = 1;
    int latencyMs = 0;
    double wireRate = 0;  // bytes per ms, 0 = instant
    bool chatter = false;
    std::optional<std::uint32_t> powerCutAfter;
    std::string flashIn;
    std::string flashOut;
    std::vector<std::uint8_t> flashImage;  // the loaded --sim-flash-in, FlashImageSize bytes
};

struct CliOptions {
    bool list = false;
    std::optional<std::string> inPort;
    std::optional<std::string> outPort;
    int instance = 1;
    std::string traceFile;
    bool simulate = false;
    SimOptions sim;
    double timeScale = 1.0;
};

struct ParseOutcome {
    // Set when the program should end at once (help, version, bad usage).
    std::optional<int> exitCode;
    std::string output;  // for stdout (help, version)
    std::string error;   // one line for stderr
};

// Parses and validates argv into options; loads --sim-flash-in.
ParseOutcome parseCommandLine(int argc, const char* const* argv, CliOptions& options);

// The product's limits scaled by factor; the poll period and the send
// completion limit (a property of the wire, not of the device) stay as they are.
engine::Timings scaledTimings(double factor);

// The program's version line.
std::string versionText();

}  // namespace q4m::cli
