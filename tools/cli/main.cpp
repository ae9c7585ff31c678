// q4m-updater-cli: the firmware update from a terminal or a script.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/port_choice.h"
#include "app/updater_session.h"
#include "midi/portable/portable_timer.h"
#include "midi/virtual/virtual_midi.h"
#include "sim/device_simulator.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/platform_midi.h"
#include "tools/cli/port_select.h"
#include "tools/cli/signal_watcher.h"
#include "tools/cli/terminal_view.h"
#include "tools/cli/trace_writer.h"
#include "tools/common/sim_options.h"

namespace q4m::cli {
namespace {

void printError(const std::string& text) {
    std::fprintf(stderr, "q4m-updater-cli: %s\n", text.c_str());
}

template <typename Port>
std::vector<std::string> portNames(Port& port) {
    std::vector<std::string> names;
    const int count = port.deviceCount();
    for (int i = 0; i < count; ++i) {
        char name[Port::NameCapacity] = {};
        port.deviceName(i, name);
        names.emplace_back(name);
    }
    return names;
}

void listPorts(const char* kind, const std::vector<std::string>& names, int instance) {
    std::printf("MIDI %s ports:\n", kind);
    if (names.empty()) std::printf("  (none)\n");
    const auto hits = app::matchingPorts(names, instance);
    for (std::size_t i = 0; i < names.size(); ++i) {
        const bool hit = std::find(hits.begin(), hits.end(), static_cast<int>(i)) != hits.end();
        const bool last = hit && static_cast<int>(i) == hits.back();
        const char* mark = !hit               ? ""
                           : hits.size() == 1 ? "  (chosen)"
                           : last             ? "  (matches; the window would take this one)"
                                              : "  (matches)";
        std::printf("  %zu: %s%s\n", i, names[i].c_str(), mark);
    }
    if (hits.size() > 1)
        std::printf("  several ports match: a run needs --%s\n", kind[0] == 'I' ? "in" : "out");
}

std::string commandLine(int argc, const char* const* argv) {
    std::string text;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) text += ' ';
        text += argv[i];
    }
    return text;
}

int run(const CliOptions& options, int argc, const char* const* argv, SignalWatcher& signals) {
    // Declaration order is teardown order in reverse: the session goes first,
    // then the timer, the simulator and the service the others use.
    std::unique_ptr<midi::MidiService> service;
    std::unique_ptr<sim::DeviceSimulator> device;
    std::string noMidi;
    if (options.simulate) {
        auto virtualMidi = std::make_unique<midi::VirtualMidiService>();
        virtualMidi->setWireRate(options.wireRate);
        // Late by default means past the block time limit the run uses.
        const auto lateDelay = scaledTimings(options.timeScale).blockReply * 3 / 2;
        device = std::make_unique<sim::DeviceSimulator>(tools::simConfig(options.sim, lateDelay));
        tools::loadFlashInto(*device, options.sim);
        device->attach(*virtualMidi, "VEXA Q Series");
        service = std::move(virtualMidi);
    } else {
        service = openPlatformMidi(noMidi);
        // Without a service the lists are empty and every choice fails.
        if (!service) service = std::make_unique<midi::VirtualMidiService>();
    }
    midi::PortableTimerService timer;
    TerminalView view(stdout, stderr, ::isatty(STDOUT_FILENO) == 1);
    TraceWriter trace;
    app::UpdaterSession session(*service, timer, view, scaledTimings(options.timeScale));

    const auto inNames = portNames(session.inPort());
    const auto outNames = portNames(session.outPort());
    if (options.list) {
        if (!noMidi.empty()) std::printf("No MIDI service: %s.\n", noMidi.c_str());
        listPorts("IN", inNames, options.instance);
        listPorts("OUT", outNames, options.instance);
        return ExitCompleted;
    }

    const auto in = choosePort(inNames, options.inPort, options.instance, "MIDI IN", "--in");
    const auto out = choosePort(outNames, options.outPort, options.instance, "MIDI OUT", "--out");
    if (in.index < 0 || out.index < 0) {
        if (!noMidi.empty()) printError("no MIDI service: " + noMidi);
        if (out.index < 0) printError(out.error);
        if (in.index < 0) printError(in.error);
        return ExitNoPort;
    }

    if (!options.traceFile.empty()) {
        if (!trace.open(options.traceFile)) {
            printError("--trace: cannot write '" + options.traceFile + "'");
            return ExitBadUsage;
        }
        trace.comment(versionText());
        trace.comment("out " + std::to_string(out.index) + " '" +
                      outNames[static_cast<std::size_t>(out.index)] + "', in " +
                      std::to_string(in.index) + " '" +
                      inNames[static_cast<std::size_t>(in.index)] + "'");
        trace.comment("options: " + commandLine(argc, argv));
        trace.comment("ms, > host to device, < device to host, bytes");
        using Event = app::UpdaterSession::TraceEvent;
        session.setTrace([&trace](Event event, std::span<const std::uint8_t> bytes) {
            // A failed send is marked right after its line (sends are serialised).
            if (event == Event::OutboundFailed)
                trace.comment("the send above failed (" + std::to_string(bytes.size()) +
                              " bytes not sent)");
            else
                trace.record(event == Event::Outbound, bytes);
        });
    }

    trace.start();
    session.startPolling();
    int status = ExitCompleted;
    switch (session.openPorts(out.index, in.index)) {
        case app::UpdaterSession::OpenResult::OutputFailed:
            view.showError(engine::StringId::CantOpenMidiOut);
            status = ExitNoPort;
            break;
        case app::UpdaterSession::OpenResult::InputFailed:
            view.showError(engine::StringId::CantOpenMidiIn);
            status = ExitNoPort;
            break;
        case app::UpdaterSession::OpenResult::Ok:
            break;
    }

    bool started = false;
    if (status == ExitCompleted) {
        started = signals.armWith([&session] { return session.startWorker(); },
                                  [&session] { session.cancel(); });
        if (started) session.joinWorker();
        signals.disarm();
    }
    session.shutdown();
    view.finish();

    if (status == ExitCompleted) {
        const RunOutcome outcome = view.outcome();
        if (outcome.completed) {
            status = ExitCompleted;
        } else if (signals.signalled()) {
            std::fprintf(stderr, "cancelled\n");
            status = ExitCancelled;
        } else if (!started) {
            printError("the update could not be started");
            status = ExitUpdateFailed;
        } else {
            if (!outcome.error) printError("the update did not complete");
            status = ExitUpdateFailed;
        }
    }

    // Saved whatever the outcome: a cut or cancelled run's flash is what a
    // following recovery run starts from.
    if (device && !options.sim.flashOut.empty()) {
        device->waitIdle(std::chrono::seconds(5));
        std::string error;
        signals.deferExit();
        if (!device->saveFlash(options.sim.flashOut, &error)) {
            printError("--sim-flash-out: " + error);
            if (status == ExitCompleted) status = ExitUpdateFailed;
        }
        signals.allowExit();
    }
    if (!trace.close()) {
        printError("--trace: writing '" + options.traceFile + "' failed");
        if (status == ExitCompleted) status = ExitUpdateFailed;
    }
    return status;
}

}  // namespace
}  // namespace q4m::cli

int main(int argc, char** argv) {
    using namespace q4m::cli;
    // First of all: from here on SIGINT and SIGTERM cancel instead of killing
    // the process, in every thread started later (they inherit the mask).
    SignalWatcher signals;
    // A closed pipe on stdout (| head) must not kill the process mid-update:
    // writes then fail and the run goes on.
#ifdef SIGPIPE  // Windows has no SIGPIPE: a write to a closed pipe just fails there
    ::signal(SIGPIPE, SIG_IGN);
#endif
    CliOptions options;
    const ParseOutcome parsed = parseCommandLine(argc, argv, options);
    if (parsed.exitCode) {
        if (!parsed.output.empty()) std::fputs(parsed.output.c_str(), stdout);
        if (!parsed.error.empty())
            std::fprintf(stderr, "q4m-updater-cli: %s\n", parsed.error.c_str());
        return *parsed.exitCode;
    }
    return run(options, argc, argv, signals);
}
