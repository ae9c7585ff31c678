// q4m-updater-cli: whole runs of the built program against the simulated
// device (exit statuses, flash contents, traces, signals), and its pieces
// (trace writer, terminal view, port choice) directly.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/codec.h"
#include "engine/flash_plan.h"
#include "engine/images.h"
#include "tests/support/child_process.h"
#include "tools/cli/port_select.h"
#include "tools/cli/signal_watcher.h"
#include "tools/cli/terminal_view.h"
#include "tools/cli/trace_writer.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;
using q4m::cli::TraceRecord;

constexpr auto Deadline = 120s;               // generous: sanitizer builds on a loaded machine
constexpr const char* FastFailures = "0.02";  // time scale for runs that must time out

// The built program, run with arguments; both output streams collected.
class Child {
  public:
    explicit Child(const std::vector<std::string>& args, const char* program = Q4M_CLI_PATH)
        : process_(program, args) {
        if (!process_.started()) throw std::runtime_error(std::string("cannot start ") + program);
    }

    // Reads until stdout holds text; false at end of output or deadline.
    bool waitForOutput(const std::string& text) {
        const bool found = process_.waitForOutput(text, Deadline);
        collect();
        return found;
    }
    long pid() const { return process_.processId(); }
    void signal(int sig) {
        process_.stop(sig == SIGINT ? q4m::test::ChildProcess::Stop::Interrupt
                                    : q4m::test::ChildProcess::Stop::Terminate);
    }
#ifndef _WIN32
    // Waits until the program blocks SIGINT and SIGTERM (it has taken them
    // over); false if it ends without, or the deadline passes. An ended but
    // unreaped program still shows the mask it ended with.
    bool waitForSignalsBlocked() {
        const auto until = std::chrono::steady_clock::now() + Deadline;
        const unsigned long long wanted = 1ull << (SIGINT - 1) | 1ull << (SIGTERM - 1);
        while (std::chrono::steady_clock::now() < until) {
            std::ifstream status("/proc/" + std::to_string(process_.processId()) + "/status");
            if (!status) return false;
            bool ended = false;
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("State:", 0) == 0) ended = line.find('Z') != std::string::npos;
                if (line.rfind("SigBlk:", 0) == 0 &&
                    (std::stoull(line.substr(7), nullptr, 16) & wanted) == wanted)
                    return true;
            }
            if (ended) return false;
            std::this_thread::sleep_for(50us);
        }
        return false;
    }
#endif
    // Reads to the end of both streams and returns the exit status (-1: killed).
    int finish() {
        const int status = process_.finish(Deadline);
        collect();
        return status;
    }

    std::string out, err;

  private:
    void collect() {
        out = process_.out();
        err = process_.err();
    }
    q4m::test::ChildProcess process_;
};

struct CliResult {
    int status;
    std::string out, err;
};

CliResult runCli(const std::vector<std::string>& args) {
    Child child(args);
    const int status = child.finish();
    return {status, child.out, child.err};
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<TraceRecord> readTrace(const fs::path& path) {
    std::ifstream in(path);
    std::vector<TraceRecord> records;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        auto record = q4m::cli::parseTraceLine(line);
        EXPECT_TRUE(record) << "malformed trace line: " << line.substr(0, 80);
        if (record) records.push_back(std::move(*record));
    }
    return records;
}

q4m::engine::FirmwareImage image(int id) {
    const auto found = q4m::engine::findImage(id);
    EXPECT_TRUE(found) << "image " << id;
    return found.value_or(q4m::engine::FirmwareImage{nullptr, 0});
}

// The flash after a complete update of a fresh (all 0xFF) device.
Bytes expectedFlash() {
    Bytes flash(1 << 20, 0xFF);
    for (const auto& [id, address] :
         {std::pair{142, 0x0u}, {133, 0x23000u}, {129, 0x40000u}, {139, 0xDF000u}}) {
        const auto img = image(id);
        std::copy(img.bytes, img.bytes + img.size, flash.begin() + address);
    }
    return flash;
}

class CliRun : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string made = q4m::test::makeTempDirectory("q4m-cli");
        ASSERT_FALSE(made.empty());
        dir_ = made;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

// One request as the trace shows it, for comparing order with the plan.
std::string describe(const Bytes& m) {
    using q4m::engine::getSeptet14;
    using q4m::engine::getSeptet32;
    if (m.size() == 6 && m[1] == 0x7E && m[3] == 0x06 && m[4] == 0x01) return "identity";
    if (m.size() < 6 || m[1] != 0x7D) return "other";
    char text[64];
    switch (m[4]) {
        case 0x01:
            return "begin";
        case 0x04:
            return "end";
        case 0x60:
            std::snprintf(text, sizeof text, "read %X %X", getSeptet32(&m[6]), getSeptet32(&m[11]));
            return text;
        case 0x0A:
            std::snprintf(text, sizeof text, "erase %X %X", getSeptet32(&m[5]),
                          getSeptet32(&m[10]));
            return text;
        case 0x02:
            std::snprintf(text, sizeof text, "write %X %X", getSeptet32(&m[5]),
                          getSeptet14(&m[10]));
            return text;
    }
    return "other";
}

// What the host must send to a device whose boot stamp differs from image 142's.
std::vector<std::string> expectedRequests() {
    std::vector<std::string> requests{"identity", "begin", "read 22FFC 4"};
    char text[64];
    for (const auto& step : q4m::engine::FlashPlan) {
        if (step.kind == q4m::engine::StepKind::Erase) {
            std::snprintf(text, sizeof text, "erase %X %X", step.address, step.size);
            requests.push_back(text);
            continue;
        }
        const std::uint32_t total = step.size ? step.size : image(step.imageId).size;
        for (std::uint32_t offset = 0; offset < total; offset += 4096) {
            std::snprintf(text, sizeof text, "write %X %X", step.address + offset,
                          std::min<std::uint32_t>(4096, total - offset));
            requests.push_back(text);
        }
    }
    requests.push_back("end");
    return requests;
}

TEST_F(CliRun, SimulatedUpdateWritesTheFlashMapAndTracesEveryMessageInPlanOrder) {
    const CliResult run =
        runCli({"--simulate", "--trace", path("trace.txt"), "--sim-flash-out", path("flash.bin")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Version update completed."), std::string::npos);
    EXPECT_LT(std::count(run.out.begin(), run.out.end(), '\n'), 60) << "one line per block?";
    EXPECT_TRUE(readFile(path("flash.bin")) == expectedFlash());

    const auto records = readTrace(path("trace.txt"));
    std::vector<std::string> requests;
    const Bytes* previous = nullptr;
    int inbound = 0;
    double lastMs = 0;
    for (const auto& r : records) {
        EXPECT_GE(r.ms, lastMs);
        lastMs = r.ms;
        if (!r.outbound) {
            ++inbound;
            continue;
        }
        // A block sent again after a slow reply is the same message twice.
        if (previous && *previous == r.bytes) continue;
        previous = &r.bytes;
        requests.push_back(describe(r.bytes));

        if (r.bytes[4] != 0x02) continue;
        const auto& m = r.bytes;
        const auto address = q4m::engine::getSeptet32(&m[5]);
        const auto length = q4m::engine::getSeptet14(&m[10]);
        const auto packed = static_cast<std::int32_t>(m.size()) - 12 - 6;
        Bytes data(static_cast<std::size_t>(q4m::engine::unpackedLength(packed)));
        ASSERT_GE(q4m::engine::unpackBytes(data.data(), &m[12], packed), length);
        EXPECT_EQ(q4m::engine::dataCrc(data.data(), static_cast<std::uint32_t>(length)),
                  q4m::engine::getSeptet32(&m[m.size() - 6]))
            << "block at " << std::hex << address;
        const Bytes expected = expectedFlash();
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + length, expected.begin() + address))
            << "block at " << std::hex << address;
    }
    EXPECT_EQ(requests, expectedRequests());
    EXPECT_GE(inbound, static_cast<int>(requests.size())) << "every request is answered";
}

TEST_F(CliRun, FailedUpdatesExitOneWithTheReasonOnStderr) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* text;
    };
    const std::vector<Case> cases{
        {"power cut during the first image", {"--sim-power-cut", "40"}, "Time out error(2)"},
        {"not in update mode",
         {"--sim-not-in-update-mode"},
         "Please use the firmware update mode."},
        {"unknown identity", {"--sim-identity", "3C000300"}, "Illegal device connected."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"--simulate", "--time-scale", FastFailures};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const CliResult run = runCli(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(c.text), std::string::npos) << run.err;
        EXPECT_EQ(run.out.find(c.text), std::string::npos) << "errors go to stderr";
    }
}

// Every bad command line of either program: exit 2, one line on stderr that
// names the option, and no file made or changed.
class BadUsage : public CliRun {
  protected:
    struct Case {
        std::vector<std::string> args;
        const char* named;
    };
    void SetUp() override {
        CliRun::SetUp();
        std::ofstream(path("short.bin"), std::ios::binary) << std::string(1000, '\xFF');
        std::ofstream(path("old.bin"), std::ios::binary) << std::string(1 << 20, '\x5A');
        fs::create_directory(path("dir"));
        before_ = listing();
    }
    // Names and contents of everything in the folder.
    std::vector<std::pair<std::string, Bytes>> listing() const {
        std::vector<std::pair<std::string, Bytes>> entries;
        for (const auto& e : fs::directory_iterator(dir_))
            entries.emplace_back(e.path().filename().string(),
                                 e.is_regular_file() ? readFile(e.path()) : Bytes());
        std::sort(entries.begin(), entries.end());
        return entries;
    }
    // Runs each case with the given outputs added where the case has none of
    // its own, so that a refusal is seen to write nothing.
    void expectRefused(const char* program, const std::vector<Case>& cases,
                       const std::vector<std::vector<std::string>>& outputs) {
        for (const auto& c : cases) {
            std::vector<std::string> args = c.args;
            for (const auto& output : outputs) {
                const bool simOnly = output[0].find("-sim-") != std::string::npos;
                const bool given = std::find(args.begin(), args.end(), output[0]) != args.end();
                const bool simulated =
                    std::find(args.begin(), args.end(), "--simulate") != args.end();
                if (!given && (!simOnly || simulated))
                    args.insert(args.end(), output.begin(), output.end());
            }
            std::string shown;
            for (const auto& a : args) shown += (a.empty() ? "''" : a) + " ";
            SCOPED_TRACE(shown);
            Child child(args, program);
            EXPECT_EQ(child.finish(), 2);
            EXPECT_EQ(std::count(child.err.begin(), child.err.end(), '\n'), 1) << child.err;
            EXPECT_NE(child.err.find(c.named), std::string::npos) << child.err;
            EXPECT_EQ(child.err.find("terminate"), std::string::npos) << child.err;
            EXPECT_TRUE(listing() == before_) << "a file was made or changed";
        }
    }

    std::vector<std::pair<std::string, Bytes>> before_;
};

#ifndef _WIN32  // the table names POSIX paths (/dev/null, /proc, modes)
TEST_F(BadUsage, TerminalToolRefusesEachBadOption) {
    const std::vector<Case> cases{
        {{"--frobnicate"}, "--frobnicate"},
        {{"--sim-seed", "3"}, "--sim-seed"},  // needs --simulate
        {{"--instance", "21"}, "--instance"},
        {{"--in", ""}, "--in"},
        {{"--out", ""}, "--out"},
        {{"--trace", ""}, "--trace"},
        {{"--trace", path("dir")}, "--trace"},
        {{"--trace", "/proc/q4m-trace.txt"}, "--trace"},  // no file can be made there
        {{"--simulate", "--sim-drop", "1.5"}, "--sim-drop"},
        {{"--simulate", "--sim-corrupt", "-0.1"}, "--sim-corrupt"},
        {{"--simulate", "--sim-error", "nan"}, "--sim-error"},
        {{"--simulate", "--sim-late", "2"}, "--sim-late"},
        {{"--simulate", "--sim-late-ms", "-1"}, "--sim-late-ms"},
        {{"--simulate", "--sim-late-ms", "3600001"}, "--sim-late-ms"},
        {{"--simulate", "--sim-latency-ms", "1e3"}, "--sim-latency-ms"},
        {{"--simulate", "--sim-boot-stamp", "1.0"}, "--sim-boot-stamp"},
        {{"--simulate", "--sim-identity", "3C00020"}, "--sim-identity"},
        {{"--simulate", "--sim-identity", "3C00020G"}, "--sim-identity"},
        {{"--simulate", "--sim-seed", "-1"}, "--sim-seed"},
        {{"--simulate", "--sim-seed", "18446744073709551616"}, "--sim-seed"},
        {{"--simulate", "--sim-seed", "7x"}, "--sim-seed"},
        {{"--simulate", "--sim-power-cut", "-1"}, "--sim-power-cut"},
        {{"--simulate", "--sim-power-cut", "4294967295"}, "--sim-power-cut"},
        {{"--simulate", "--sim-wire-rate", "1e-300"}, "--sim-wire-rate"},
        {{"--simulate", "--sim-wire-rate", "inf"}, "--sim-wire-rate"},
        {{"--simulate", "--time-scale", "0"}, "--time-scale"},
        {{"--simulate", "--time-scale", "1e9"}, "--time-scale"},
        {{"--simulate", "--time-scale", "1e300"}, "--time-scale"},
        {{"--simulate", "--sim-flash-in", path("missing.bin")}, "--sim-flash-in"},
        {{"--simulate", "--sim-flash-in", path("short.bin")}, "--sim-flash-in"},
        {{"--simulate", "--sim-flash-in", path("dir")}, "--sim-flash-in"},
        {{"--simulate", "--sim-flash-in", "/dev/zero"}, "--sim-flash-in"},
        {{"--simulate", "--sim-flash-in", ""}, "--sim-flash-in"},
        {{"--simulate", "--sim-flash-out", ""}, "--sim-flash-out"},
        {{"--simulate", "--sim-flash-out", path("dir")}, "--sim-flash-out"},
        {{"--simulate", "--sim-flash-out", "/dev/null"}, "--sim-flash-out"},
        {{"--simulate", "--sim-flash-out", "/proc/q4m-flash.bin"}, "--sim-flash-out"},
    };
    expectRefused(Q4M_CLI_PATH, cases,
                  {{"--trace", path("trace.txt")}, {"--sim-flash-out", path("old.bin")}});
}

#ifdef Q4M_DEVSIM_PATH
// q4m-devsim takes each device option under its own name and the terminal
// tool's, and refuses bad ones before it touches ALSA.
#endif

TEST_F(BadUsage, DeviceSimulatorRefusesEachBadOptionInBothSpellings) {
    const std::vector<Case> cases{
        {{"--frobnicate"}, "--frobnicate"},
        {{"--drop", "1.5"}, "--drop"},
        {{"--sim-drop", "1.5"}, "--drop"},
        {{"--corrupt", "-0.1"}, "--corrupt"},
        {{"--late", "2"}, "--late"},
        {{"--sim-late-ms", "-1"}, "--late-ms"},
        {{"--seed", "-1"}, "--seed"},
        {{"--sim-seed", "18446744073709551616"}, "--seed"},
        {{"--power-cut", "-1"}, "--power-cut"},
        {{"--identity", "3C00020G"}, "--identity"},
        {{"--boot-stamp", "1.0"}, "--boot-stamp"},
        {{"--rawmidi", "hw:1"}, "--rawmidi"},
        {{"--flash-in", path("dir")}, "--flash-in"},
        {{"--flash-in", "/dev/zero"}, "--flash-in"},
        {{"--sim-flash-in", path("short.bin")}, "--flash-in"},
        {{"--flash-in", ""}, "--flash-in"},
        {{"--flash-out", ""}, "--flash-out"},
        {{"--sim-flash-out", "/proc/q4m-flash.bin"}, "--flash-out"},
    };
    expectRefused(Q4M_DEVSIM_PATH, cases, {{"--flash-out", path("old.bin")}});
}
#endif

TEST(Version, EveryProgramNamesItselfItsVersionAndBuildType) {
    std::vector<std::pair<std::string, const char*>> programs{{"q4m-updater-cli", Q4M_CLI_PATH}};
#ifdef Q4M_DEVSIM_PATH
    programs.emplace_back("q4m-devsim", Q4M_DEVSIM_PATH);
#endif
    for (const auto& [name, program] : programs) {
        SCOPED_TRACE(name);
        Child child({"--version"}, program);
        EXPECT_EQ(child.finish(), 0);
        const std::string type = Q4M_EXPECTED_BUILD_TYPE;
        EXPECT_EQ(child.out, name + " " Q4M_EXPECTED_VERSION " (" +
                                 (type.empty() ? "no build type" : type + " build") + ")\n");
        EXPECT_EQ(child.err, "");
    }
}

// Late replies come by default 1.5 times the block limit late, as the time
// scale sets it: the host gives up waiting and has to ask again. Given a
// delay well inside the limit, the same late replies cost no extra request.
TEST_F(CliRun, LateRepliesMissTheScaledBlockLimitUnlessTheirDelayIsGiven) {
    auto requestsSent = [this](const std::string& trace) {
        const auto records = readTrace(path(trace));
        return std::count_if(records.begin(), records.end(),
                             [](const TraceRecord& r) { return r.outbound; });
    };
    const auto planned = static_cast<long>(expectedRequests().size());
    const CliResult late = runCli({"--simulate", "--time-scale", FastFailures, "--sim-late", "0.05",
                                   "--sim-seed", "3", "--trace", path("late.txt")});
    EXPECT_TRUE(late.status == 0 || late.status == 1) << late.err;
    EXPECT_GT(requestsSent("late.txt"), planned);

    const CliResult slow =
        runCli({"--simulate", "--time-scale", "0.5", "--sim-late", "0.05", "--sim-seed", "3",
                "--sim-late-ms", "10", "--trace", path("slow.txt")});
    ASSERT_EQ(slow.status, 0) << slow.err;
    EXPECT_EQ(requestsSent("slow.txt"), planned);
}

TEST_F(CliRun, MissingOrUnknownPortExitsThreeWithoutTouchingTheDevice) {
    const std::vector<std::vector<std::string>> cases{
        {"--instance", "2"},  // the simulated ports carry no " (2)"
        {"--in", "VEXA Q Series (2)"},
        {"--out", "7"},
    };
    for (const auto& extra : cases) {
        SCOPED_TRACE(extra.back());
        std::vector<std::string> args{"--simulate", "--trace", path("trace.txt")};
        args.insert(args.end(), extra.begin(), extra.end());
        const CliResult run = runCli(args);
        EXPECT_EQ(run.status, 3);
        EXPECT_FALSE(run.err.empty());
        EXPECT_FALSE(fs::exists(path("trace.txt")));
    }
}

TEST_F(CliRun, ListShowsEveryPortAndTheOneTheRuleChooses) {
    const CliResult run = runCli({"--simulate", "--list"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out,
              "MIDI IN ports:\n  0: VEXA Q Series  (chosen)\n"
              "MIDI OUT ports:\n  0: VEXA Q Series  (chosen)\n");
}

// Interrupt the device at several points, then update from the flash it left.
TEST_F(CliRun, RecoveryRunAfterAPowerCutLeavesTheExactFlashMap) {
    // 20: during the first image; 50: mid boot region; 192: everything written
    // but the end request unanswered.
    for (const char* cut : {"20", "50", "192"}) {
        SCOPED_TRACE(cut);
        const CliResult broken =
            runCli({"--simulate", "--time-scale", FastFailures, "--sim-power-cut", cut,
                    "--sim-flash-out", path("cut.bin")});
        ASSERT_EQ(broken.status, 1) << broken.err;
        const CliResult recovered =
            runCli({"--simulate", "--time-scale", "0.5", "--sim-flash-in", path("cut.bin"),
                    "--sim-flash-out", path("recovered.bin")});
        ASSERT_EQ(recovered.status, 0) << recovered.err;
        EXPECT_TRUE(readFile(path("recovered.bin")) == expectedFlash());
    }
}

TEST_F(CliRun, SameSeedGivesTheSameTraceWithFaultsOn) {
    std::vector<std::vector<std::string>> traces;
    for (const char* name : {"a.txt", "b.txt"}) {
        const CliResult run =
            runCli({"--simulate", "--sim-drop", "0.02", "--sim-corrupt", "0.02", "--sim-seed", "7",
                    "--time-scale", "0.2", "--trace", path(name)});
        ASSERT_EQ(run.status, 0) << run.err;
        std::vector<std::string> lines;
        std::ifstream in(path(name));
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line[0] != '#') lines.push_back(line.substr(line.find(' ')));
        traces.push_back(std::move(lines));
    }
    EXPECT_GT(traces[0].size(), expectedRequests().size() * 2) << "the faults caused re-sends";
    EXPECT_TRUE(traces[0] == traces[1]);
}

TEST_F(CliRun, SignalCancelsMidTransferAndSavesTheFlash) {
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(sig);
        fs::remove(path("flash.bin"));
        // At DIN speed a block takes 1.5 s on the wire: the signal lands mid-send.
        Child child(
            {"--simulate", "--sim-wire-rate", "3.125", "--sim-flash-out", path("flash.bin")});
        ASSERT_TRUE(child.waitForOutput("Data transmit")) << child.err;
        child.signal(sig);
        EXPECT_EQ(child.finish(), 130);
        EXPECT_EQ(child.err, "cancelled\n");
        EXPECT_EQ(fs::file_size(path("flash.bin")), 1u << 20);
    }
}

#ifndef _WIN32  // reads the signal mask from /proc
// Signals are taken over from the first line of main: one that comes while the
// program still reads its command line, or any time after, cancels (130)
// instead of killing the process. A long command line keeps the program in
// its start for a while.
TEST_F(CliRun, SignalsAreHeldFromTheStartAndEarlyOnesCancel) {
    std::vector<std::string> args{"--simulate", "--sim-flash-out", path("flash.bin")};
    args.insert(args.end(), 20000, "--sim-chatter");

    // Held before the command line is read: even one that is refused ends
    // with them held.
    auto refused = args;
    refused.push_back("--frobnicate");
    Child bad(refused);
    EXPECT_TRUE(bad.waitForSignalsBlocked());
    EXPECT_EQ(bad.finish(), 2);

    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE(round);
        Child child(args);
        ASSERT_TRUE(child.waitForSignalsBlocked()) << child.err;
        std::this_thread::sleep_for(std::chrono::microseconds(250 * round));
        child.signal(round % 2 ? SIGINT : SIGTERM);
        EXPECT_EQ(child.finish(), 130);
        EXPECT_EQ(child.err, "cancelled\n");
    }
}
#endif

#ifndef _WIN32  // reads the signal mask from /proc
// Whether the process has taken sig over (blocked, to wait for it, or caught):
// before that the system's default action ends it, which no program can stop.
// A process that has already ended counts as having taken it over.
bool takenOver(long pid, int sig) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const unsigned long long bit = 1ull << (sig - 1);
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("State:", 0) == 0 && line.find('Z') != std::string::npos) return true;
        if (line.rfind("SigBlk:", 0) != 0 && line.rfind("SigCgt:", 0) != 0) continue;
        if (std::stoull(line.substr(7), nullptr, 16) & bit) return true;
    }
    return false;
}

// A cancel at any moment of a run, the first milliseconds included: the
// program ends within a second with 130 (or 0 when the update had finished),
// and a recovery run from the flash it saved leaves the exact flash map.
TEST_F(CliRun, CancelAtAnyMomentEndsWithinASecondAndRecoveryRestoresTheFlash) {
    // How long a whole run takes here, to spread the moments over it.
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(runCli({"--simulate"}).status, 0);
    const auto whole = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);

    // Moments after the start, and after the program took the signals over.
    struct Moment {
        std::chrono::milliseconds after;
        bool fromTakeOver = false;
    };
    std::vector<Moment> moments{{0ms},  {1ms},       {2ms},       {5ms},      {10ms},
                                {20ms}, {0ms, true}, {1ms, true}, {5ms, true}};
    std::mt19937 random(14);
    for (int i = 0; i < 8; ++i)
        moments.push_back({std::chrono::milliseconds(random() % (whole.count() * 6 / 5 + 1))});

    int cancelled = 0, finished = 0, early = 0;
    for (std::size_t i = 0; i < moments.size(); ++i) {
        const int sig = i % 2 == 0 ? SIGINT : SIGTERM;
        const Moment& moment = moments[i];
        SCOPED_TRACE(::testing::Message()
                     << (sig == SIGINT ? "SIGINT " : "SIGTERM ") << moment.after.count() << " ms "
                     << (moment.fromTakeOver ? "after the program took the signals over"
                                             : "after the start")
                     << ", a whole run takes " << whole.count() << " ms");
        fs::remove(path("cut.bin"));
        fs::remove(path("recovered.bin"));
        Child child({"--simulate", "--sim-flash-out", path("cut.bin")});
        if (moment.fromTakeOver) {
            ASSERT_TRUE(child.waitForSignalsBlocked()) << child.err;
        }
        std::this_thread::sleep_for(moment.after);
        const bool handled = takenOver(child.pid(), sig);
        child.signal(sig);
        const auto signalled = std::chrono::steady_clock::now();
        const int status = child.finish();
        const auto took = std::chrono::steady_clock::now() - signalled;
        if (status == -1 && !handled) {
            ++early;  // still loading: the signal's default action, as for any program
        } else {
            EXPECT_TRUE(status == 130 || status == 0) << status << ": " << child.err;
        }
        EXPECT_LT(took, 1s) << "the cancel took "
                            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                            << " ms";
        cancelled += status == 130;
        finished += status == 0;

        // A run killed before it could save starts its recovery from the fresh device.
        std::vector<std::string> args{"--simulate", "--sim-flash-out", path("recovered.bin")};
        if (fs::exists(path("cut.bin"))) {
            args.push_back("--sim-flash-in");
            args.push_back(path("cut.bin"));
        }
        const CliResult recovered = runCli(args);
        ASSERT_EQ(recovered.status, 0) << recovered.err;
        EXPECT_TRUE(readFile(path("recovered.bin")) == expectedFlash());
    }
    std::printf(
        "cancel sweep: %zu runs, %d cancelled, %d had finished, %d ended by the signal before "
        "the program had taken it over\n",
        moments.size(), cancelled, finished, early);
}
#endif

// --- the pieces ----------------------------------------------------------

#ifndef _WIN32  // POSIX signals sent to this process
// The second signal ends the program with 130, at once, or, while a save is
// under way, as soon as the save is done; never in the middle of it.
TEST(SignalWatcherDeathTest, SecondSignalWaitsForADeferredExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto waitForCount = [](q4m::cli::SignalWatcher& w, int n) {
        const auto until = std::chrono::steady_clock::now() + Deadline;
        while (w.signalCount() < n && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(1ms);
    };
    EXPECT_EXIT(
        {
            q4m::cli::SignalWatcher watcher;
            watcher.deferExit();
            kill(getpid(), SIGINT);
            kill(getpid(), SIGTERM);
            waitForCount(watcher, 2);
            std::fprintf(stderr, "saved after %d signals\n", watcher.signalCount());
            watcher.allowExit();
            std::fprintf(stderr, "not reached\n");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(130), "saved after 2 signals\n$");
    EXPECT_EXIT(
        {
            q4m::cli::SignalWatcher watcher;
            kill(getpid(), SIGINT);
            waitForCount(watcher, 1);  // two pending SIGINTs would be one
            kill(getpid(), SIGINT);
            waitForCount(watcher, 2);  // the watcher's _exit ends the wait
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(130), "");
}
#endif

TEST(TraceWriter, LinesFromConcurrentSendersStayWholeAndInOrderPerThread) {
    const auto file =
        fs::temp_directory_path() / ("q4m-trace-" + std::to_string(q4m::test::currentProcessId()));
    q4m::cli::TraceWriter trace;
    ASSERT_TRUE(trace.open(file.string()));
    trace.comment("header");
    trace.start();
    constexpr int Threads = 4, PerThread = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&trace, t] {
            for (int i = 0; i < PerThread; ++i) {
                const Bytes message{0xF0,
                                    static_cast<std::uint8_t>(t),
                                    static_cast<std::uint8_t>(i >> 7),
                                    static_cast<std::uint8_t>(i & 0x7F),
                                    0xAB,
                                    0xF7};
                trace.record(t % 2 == 0, message);
            }
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_TRUE(trace.close());

    std::ifstream in(file);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "# header");
    std::vector<int> next(Threads, 0);
    int count = 0;
    for (; std::getline(in, line); ++count) {
        const auto dot = line.find('.');
        ASSERT_NE(dot, std::string::npos);
        EXPECT_EQ(line.find(' '), dot + 4) << "three decimals: " << line;
        const auto record = q4m::cli::parseTraceLine(line);
        ASSERT_TRUE(record) << line;
        EXPECT_NE(line.find("AB F7"), std::string::npos) << "upper-case hex: " << line;
        const int t = record->bytes[1];
        EXPECT_EQ(record->outbound, t % 2 == 0);
        EXPECT_EQ(record->bytes[2] << 7 | record->bytes[3], next[static_cast<std::size_t>(t)]++);
    }
    EXPECT_EQ(count, Threads * PerThread);
    in.close();  // Windows removes no file that is still open
    fs::remove(file);
}

TEST(TraceWriter, ParserRejectsMalformedLines) {
    for (const char* bad : {"", "# 1.000 > F0", "1.000 > ", "1.000 = F0 F7", "x > F0",
                            "1.000 > F0  F7", "1.000 > F0 F", "1.000 > f0 F7", "1.000 > F0 F7 ",
                            "-1.000 > F0 F7", "-0.000 < F7", "nan > F0 F7", "inf < F7"}) {
        EXPECT_FALSE(q4m::cli::parseTraceLine(bad)) << bad;
    }
    const auto good = q4m::cli::parseTraceLine("12.345 < F0 7E 00 F7");
    ASSERT_TRUE(good);
    EXPECT_DOUBLE_EQ(good->ms, 12.345);
    EXPECT_FALSE(good->outbound);
    EXPECT_EQ(good->bytes, (Bytes{0xF0, 0x7E, 0x00, 0xF7}));
}

// Captures what a TerminalView prints.
struct Streams {
    Streams() : out(std::tmpfile()), err(std::tmpfile()) {}
    ~Streams() {
        std::fclose(out);
        std::fclose(err);
    }
    static std::string text(std::FILE* f) {
        std::fflush(f);
        std::rewind(f);
        std::string s;
        for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
        return s;
    }
    std::FILE* out;
    std::FILE* err;
};

// What the engine shows for one written image of 29 blocks.
void showImageWrite(q4m::engine::UpdateView& view) {
    view.setStepText("3/8");
    view.setProgressRange(0, 29 * 4096);
    for (int block = 0; block < 29; ++block) {
        view.setStatusText(q4m::engine::dataTransmitText(block * 4096, 29 * 4096));
        view.setProgressPos((block + 1) * 4096);
    }
}

TEST(TerminalView, PlainOutputHasLinesPerStepAndQuarterNotPerBlock) {
    Streams s;
    q4m::cli::TerminalView view(s.out, s.err, false);
    showImageWrite(view);
    const std::string out = Streams::text(s.out);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5) << out;  // start, 25, 50, 75, 100 %
    EXPECT_NE(out.find("(100%)"), std::string::npos);
    EXPECT_EQ(out.find('\r'), std::string::npos);
}

TEST(TerminalView, TtyOutputRedrawsOneLineInPlace) {
    Streams s;
    q4m::cli::TerminalView view(s.out, s.err, true);
    showImageWrite(view);
    std::string out = Streams::text(s.out);
    EXPECT_EQ(out.find('\n'), std::string::npos);
    EXPECT_GE(std::count(out.begin(), out.end(), '\r'), 29);
    EXPECT_NE(out.find("\x1b[K"), std::string::npos);
    view.finish();
    out = Streams::text(s.out);
    EXPECT_EQ(out.back(), '\n');
}

TEST(TerminalView, OutcomeIsCompletedOnlyAfterTheCompletionTextAndExecuteDisabled) {
    using q4m::engine::StringId;
    {
        Streams s;
        q4m::cli::TerminalView view(s.out, s.err, false);
        view.setStatusText(q4m::engine::loadString(StringId::UpdateCompleted));
        view.endBusy();
        view.enableExecute(false);
        EXPECT_TRUE(view.outcome().completed);
        EXPECT_EQ(Streams::text(s.err), "");
    }
    {
        Streams s;
        q4m::cli::TerminalView view(s.out, s.err, true);
        view.setStatusText(q4m::engine::loadString(StringId::ErasingFlash));
        view.showError(StringId::TimeOutErase);
        view.endBusy();
        view.enableExecute(false);
        const auto outcome = view.outcome();
        EXPECT_FALSE(outcome.completed);
        EXPECT_EQ(outcome.error, StringId::TimeOutErase);
        EXPECT_EQ(Streams::text(s.err), "Error: Time out error(3)\n");
        EXPECT_EQ(Streams::text(s.out).back(), '\n') << "the drawn line is ended first";
    }
}

TEST(PortSelect, IndexNameOrASingleMatchOfTheDeviceNames) {
    const std::vector<std::string> names{"Midi Through",
                                         "USB Audio Device",
                                         "VEXA Q Series",
                                         "VEXA Q Series (3)",
                                         "usb audio device (3)",
                                         "Dup",
                                         "Dup"};
    struct Case {
        std::optional<std::string> spec;
        int instance;
        int index;  // -1: an error is expected
    };
    const std::vector<Case> cases{
        {"0", 1, 0},
        {"6", 1, 6},
        {"7", 1, -1},
        {"VEXA Q Series", 1, 2},
        {"vexa q series", 1, -1},
        {"Dup", 1, -1},         // two ports share the name
        {std::nullopt, 1, -1},  // two ports match the device's names: ambiguous
        {std::nullopt, 3, 3},   // only the exact " (3)" names count
        {std::nullopt, 2, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.spec.value_or("<rule>") + " instance " + std::to_string(c.instance));
        const auto choice = q4m::cli::choosePort(names, c.spec, c.instance, "MIDI IN", "--in");
        EXPECT_EQ(choice.index, c.index);
        EXPECT_EQ(choice.error.empty(), c.index >= 0) << choice.error;
    }
}

}  // namespace
