#include "tools/cli/cli_options.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/strings.h"

#ifndef Q4M_VERSION
#define Q4M_VERSION "0.0.0"
#endif

namespace q4m::cli {

namespace {

constexpr const char* Footer = R"HELP(Port choice:
  Without --in/--out each port is chosen by the window's rule: a port named
  "USB Audio Device", "VEXA Q Series" or the Japanese generic USB audio name,
  each followed by " (N)" for --instance N > 1, compared exactly. Unlike the
  window, which takes the last match, this tool refuses to guess: when no port
  or more than one port matches, it names them and exits with status 3 without
  touching any device. --in/--out take a port index or an exact port name.

Simulation:
  --simulate updates a built-in simulated device on an in-process MIDI service
  whose ports are named "VEXA Q Series". --sim-boot-stamp writes its four
  characters at 0x22FFC; when --sim-flash-in is given the stamp is written only
  if --sim-boot-stamp is given too, so a chained run keeps the flash it loads.
  --sim-flash-out saves the flash after every run, failed or cancelled too.

Trace (--trace FILE):
  one message per line: "<ms since start, 3 decimals> <'>' to device | '<' from
  device> <bytes in upper-case hex>"; lines starting with '#' are comments.

Exit status:
  0 update completed, 1 update failed, 2 bad usage, 3 port not found or not
  opened, 130 cancelled (SIGINT, SIGTERM: the run stops without a half-sent
  message; a second signal ends the program at once).)HELP";

std::string checkProbability(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= 0.0 && v <= 1.0))
        return "'" + text + "' is not a probability from 0 to 1";
    return {};
}

std::string checkNonNegative(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v < 0.0)
        return "'" + text + "' is not a number of 0 or more";
    return {};
}

std::string checkPositive(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v <= 0.0)
        return "'" + text + "' is not a number greater than 0";
    return {};
}

std::string checkIdentity(const std::string& text) {
    const bool ok = text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) {
                        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                    });
    return ok ? std::string() : "'" + text + "' is not 8 hex digits";
}

std::string checkStamp(const std::string& text) {
    const bool ok = text.size() == 4 && std::all_of(text.begin(), text.end(),
                                                    [](char c) { return c >= 0x20 && c < 0x7F; });
    return ok ? std::string() : "'" + text + "' is not 4 printable ASCII characters";
}

// The one line CLI11 gives, without its trailing "Run with --help" advice.
std::string firstLine(const std::string& text) {
    const auto nl = text.find('\n');
    return nl == std::string::npos ? text : text.substr(0, nl);
}

std::string loadFlash(const std::string& path, std::vector<std::uint8_t>& image) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "--sim-flash-in: cannot read '" + path + "'";
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return "--sim-flash-in: cannot read '" + path + "'";
    if (image.size() != FlashImageSize)
        return "--sim-flash-in: '" + path + "' holds " + std::to_string(image.size()) +
               " bytes, a flash image is " + std::to_string(FlashImageSize);
    return {};
}

// Checked before the run so that a run never ends with its flash unsaved.
std::string checkWritable(const std::string& option, const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(path, ec)) return option + ": '" + path + "' is a directory";
    auto dir = fs::path(path).parent_path();
    if (dir.empty()) dir = ".";
    if (::access(dir.string().c_str(), W_OK) != 0) return option + ": cannot write '" + path + "'";
    return {};
}

}  // namespace

std::string versionText() {
    return std::string("q4m-updater-cli ") + Q4M_VERSION + " (" +
           std::string(engine::ProgramTitle) + ")";
}

engine::Timings scaledTimings(double factor) {
    engine::Timings t = engine::DefaultTimings;
    auto scale = [factor](engine::Ms& ms) {
        const auto scaled = std::llround(static_cast<double>(ms.count()) * factor);
        ms = engine::Ms(std::max<long long>(1, scaled));
    };
    for (engine::Ms* ms : {&t.identityReply, &t.beginReply, &t.beginPause, &t.bootStampRead,
                           &t.eraseReply, &t.blockReply, &t.retryPause, &t.endReply})
        scale(*ms);
    return t;
}

ParseOutcome parseCommandLine(int argc, const char* const* argv, CliOptions& options) {
    CLI::App app{"Updates the firmware of a Vexa Q4m over its USB-MIDI ports.", "q4m-updater-cli"};
    app.set_version_flag("--version", versionText());
    app.footer(Footer);

    std::string identity;
    std::string stamp;
    std::string instanceText;

    app.add_flag("--list", options.list, "List the MIDI ports and the ones the rule would choose");
    app.add_option("--in", options.inPort, "MIDI IN port: index or exact name");
    app.add_option("--out", options.outPort, "MIDI OUT port: index or exact name");
    app.add_option("--instance", options.instance, "Instance number for the port names (1..20)")
        ->check(CLI::Range(1, 20));
    app.add_option("--trace", options.traceFile, "Write every message of the session to FILE");

    auto* sim = app.add_flag("--simulate", options.simulate,
                             "Update the built-in simulated device instead of MIDI ports");
    const std::string group = "Simulated device (with --simulate)";
    auto simOption = [&](CLI::Option* o) { return o->needs(sim)->group(group); };
    simOption(app.add_option("--sim-identity", identity, "Family and member code, 8 hex digits")
                  ->check(checkIdentity)
                  ->default_str("3C000200"));
    simOption(app.add_option("--sim-boot-stamp", stamp, "Boot stamp at 0x22FFC, 4 characters")
                  ->check(checkStamp)
                  ->default_str("0.90"));
    simOption(app.add_flag("--sim-not-in-update-mode", options.sim.notInUpdateMode,
                           "Refuse the update (device not in update mode)"));
    simOption(
        app.add_option("--sim-drop", options.sim.dropProbability, "Probability of losing a message")
            ->check(checkProbability));
    simOption(app.add_option("--sim-corrupt", options.sim.corruptProbability,
                             "Probability of corrupting a message")
                  ->check(checkProbability));
    simOption(
        app.add_option("--sim-error", options.sim.errorProbability, "Probability of an error reply")
            ->check(checkProbability));
    simOption(app.add_option("--sim-seed", options.sim.seed, "Seed of the fault generator"));
    simOption(app.add_option("--sim-latency-ms", options.sim.latencyMs, "Reply latency in ms")
                  ->check(CLI::NonNegativeNumber));
    simOption(app.add_option("--sim-wire-rate", options.sim.wireRate,
                             "Bytes per ms on the wire: 0 instant, 48 USB, 3.125 DIN")
                  ->check(checkNonNegative));
    simOption(app.add_flag("--sim-chatter", options.sim.chatter,
                           "Device sends unrelated messages now and then"));
    simOption(app.add_option("--sim-power-cut", options.sim.powerCutAfter,
                             "Cut the device's power after N messages (0: never)"));
    simOption(app.add_option("--sim-flash-in", options.sim.flashIn, "Load a 1 MiB flash image"));
    simOption(app.add_option("--sim-flash-out", options.sim.flashOut,
                             "Save the 1 MiB flash image after the run"));

    app.add_option("--time-scale", options.timeScale,
                   "For testing: multiply every time limit and pause by F")
        ->check(checkPositive)
        ->group("Testing");

    const std::pair<const char*, const char*> typeNames[] = {
        {"--in", "PORT"},         {"--out", "PORT"},          {"--instance", "N"},
        {"--trace", "FILE"},      {"--sim-identity", "HEX"},  {"--sim-boot-stamp", "TEXT"},
        {"--sim-drop", "P"},      {"--sim-corrupt", "P"},     {"--sim-error", "P"},
        {"--sim-seed", "N"},      {"--sim-latency-ms", "MS"}, {"--sim-wire-rate", "BYTES_PER_MS"},
        {"--sim-power-cut", "N"}, {"--sim-flash-in", "FILE"}, {"--sim-flash-out", "FILE"},
        {"--time-scale", "F"}};
    for (const auto& [name, type] : typeNames) app.get_option(name)->type_name(type);

    ParseOutcome outcome;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        outcome.output = app.help();
        outcome.exitCode = ExitCompleted;
        return outcome;
    } catch (const CLI::CallForVersion& e) {
        outcome.output = std::string(e.what()) + "\n";
        outcome.exitCode = ExitCompleted;
        return outcome;
    } catch (const CLI::ParseError& e) {
        outcome.error = firstLine(e.what());
        outcome.exitCode = ExitBadUsage;
        return outcome;
    }

    if (!identity.empty())
        for (int i = 0; i < 4; ++i)
            options.sim.identity[static_cast<std::size_t>(i)] =
                static_cast<std::uint8_t>(std::stoul(identity.substr(2 * i, 2), nullptr, 16));
    if (!stamp.empty()) {
        options.sim.bootStamp = stamp;
        options.sim.bootStampGiven = true;
    }

    std::string error;
    if (!options.sim.flashIn.empty())
        error = loadFlash(options.sim.flashIn, options.sim.flashImage);
    if (error.empty() && !options.sim.flashOut.empty())
        error = checkWritable("--sim-flash-out", options.sim.flashOut);
    if (error.empty() && !options.traceFile.empty())
        error = checkWritable("--trace", options.traceFile);
    if (!error.empty()) {
        outcome.error = error;
        outcome.exitCode = ExitBadUsage;
    }
    return outcome;
}

}  // namespace q4m::cli
