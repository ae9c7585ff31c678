#include "tools/cli/cli_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "tools/common/version.h"

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
  --sim-flash-out saves the flash after every run, failed or cancelled too,
  by writing a new file beside it and renaming it over the old one.
  --sim-late P makes each reply late with probability P, by --sim-late-ms
  (default: 1.5 times the block time limit, so past it, as --time-scale sets
  it).

Trace (--trace FILE):
  one message per line: "<ms since start, 3 decimals> <'>' to device | '<' from
  device> <bytes in upper-case hex>"; lines starting with '#' are comments.

Exit status:
  0 update completed, 1 update failed, 2 bad usage, 3 port not found or not
  opened, 130 cancelled (SIGINT, SIGTERM: the run stops without a half-sent
  message; a second signal ends the program at once, or right after a flash
  save under way).)HELP";

std::string checkWireRate(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || (v != 0.0 && v < MinWireRate))
        return "'" + text + "' is not 0 (instant) or a rate of at least 0.01 bytes per ms";
    return {};
}

std::string checkPortName(const std::string& text) {
    return text.empty() ? "an empty port name" : std::string();
}

std::string checkTimeScale(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= MinTimeScale && v <= MaxTimeScale))
        return "'" + text + "' is not a factor from 0.001 to 1000";
    return {};
}

// The one line CLI11 gives, without its trailing "Run with --help" advice.
std::string firstLine(const std::string& text) {
    const auto nl = text.find('\n');
    return nl == std::string::npos ? text : text.substr(0, nl);
}

}  // namespace

std::string versionText() {
    return tools::versionLine("q4m-updater-cli");
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

    app.add_flag("--list", options.list, "List the MIDI ports and the ones the rule would choose");
    app.add_option("--in", options.inPort, "MIDI IN port: index or exact name")
        ->check(checkPortName)
        ->type_name("PORT");
    app.add_option("--out", options.outPort, "MIDI OUT port: index or exact name")
        ->check(checkPortName)
        ->type_name("PORT");
    app.add_option("--instance", options.instance, "Instance number for the port names (1..20)")
        ->check(CLI::Range(1, 20))
        ->type_name("N");
    app.add_option("--trace", options.traceFile, "Write every message of the session to FILE")
        ->check(tools::checkNonEmptyPath)
        ->type_name("FILE");

    auto* sim = app.add_flag("--simulate", options.simulate,
                             "Update the built-in simulated device instead of MIDI ports");
    const std::string group = "Simulated device (with --simulate)";
    for (CLI::Option* o : tools::addSimOptions(app, options.sim, tools::SimSpelling::Prefixed))
        o->needs(sim)->group(group);
    app.add_option("--sim-wire-rate", options.wireRate,
                   "Bytes per ms on the wire: 0 instant, 48 USB, 3.125 DIN")
        ->check(checkWireRate)
        ->type_name("BYTES_PER_MS")
        ->needs(sim)
        ->group(group);

    app.add_option("--time-scale", options.timeScale,
                   "For testing: multiply every time limit and pause by F (0.001 to 1000)")
        ->check(checkTimeScale)
        ->type_name("F")
        ->group("Testing");

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

    std::string error = tools::finishSimOptions(options.sim, tools::SimSpelling::Prefixed);
    if (error.empty() && !options.traceFile.empty()) {
        error = tools::checkWritableFile(options.traceFile);
        if (!error.empty()) error = "--trace: " + error;
    }
    if (!error.empty()) {
        outcome.error = error;
        outcome.exitCode = ExitBadUsage;
    }
    return outcome;
}

}  // namespace q4m::cli
