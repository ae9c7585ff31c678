// q4m-devsim: the simulated device as a MIDI device of its own on ALSA, so
// that the updater reaches it through the real kernel stack. It is a sequencer
// client "VEXA Q Series" with one duplex port; with --rawmidi hw:N,D it is also
// wired to the sequencer side of that snd-virmidi device, so that a program
// using the raw device hw:N,D talks to it as to USB hardware.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/timings.h"
#include "midi/alsa/alsa_devices.h"
#include "midi/alsa/sysex_joiner.h"
#include "sim/device_simulator.h"
#include "tools/common/sim_options.h"
#include "tools/common/version.h"

namespace {

constexpr const char* DeviceName = "VEXA Q Series";
// A whole data block arrives as one event from a software client; the
// receiver's pool and buffer must hold it (defaults stop near 5.6 KB / 14 KB).
constexpr int PoolCells = 2000;
constexpr std::size_t SequencerBufferBytes = 128 * 1024;
constexpr std::size_t MaxMessage = 64 * 1024;

struct Options {
    q4m::tools::SimOptions sim;
    std::string rawmidi;
    bool exitAfterEnd = false;
};

// The sequencer side: one client and port, messages joined per sender.
class SequencerLink {
  public:
    ~SequencerLink() {
        if (seq_) snd_seq_close(seq_);
    }

    bool open(std::string& why) {
        if (snd_seq_open(&seq_, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) {
            seq_ = nullptr;
            why = "no ALSA sequencer";
            return false;
        }
        snd_seq_set_client_name(seq_, DeviceName);
        port_ = snd_seq_create_simple_port(
            seq_, DeviceName,
            SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ | SND_SEQ_PORT_CAP_WRITE |
                SND_SEQ_PORT_CAP_SUBS_WRITE | SND_SEQ_PORT_CAP_DUPLEX,
            SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE);
        if (port_ < 0) {
            why = "cannot create the sequencer port";
            return false;
        }
        snd_seq_set_client_pool_input(seq_, PoolCells);
        snd_seq_set_client_pool_output(seq_, PoolCells);
        snd_seq_set_input_buffer_size(seq_, SequencerBufferBytes);
        snd_seq_set_output_buffer_size(seq_, SequencerBufferBytes);
        return true;
    }

    // Wires the port both ways to the sequencer side of raw device hw:N,D
    // (snd-virmidi names that client "<name> N-D").
    bool attachRaw(const std::string& device, std::string& why) {
        int card = -1, dev = -1;
        if (std::sscanf(device.c_str(), "hw:%d,%d", &card, &dev) != 2) {
            why = "--rawmidi wants hw:CARD,DEVICE";
            return false;
        }
        const std::string suffix = " " + std::to_string(card) + "-" + std::to_string(dev);
        snd_seq_client_info_t* info = nullptr;
        snd_seq_client_info_alloca(&info);
        snd_seq_client_info_set_client(info, -1);
        while (snd_seq_query_next_client(seq_, info) >= 0) {
            const std::string name = snd_seq_client_info_get_name(info);
            if (snd_seq_client_info_get_card(info) != card || name.size() < suffix.size() ||
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
                continue;
            const int client = snd_seq_client_info_get_client(info);
            if (snd_seq_connect_to(seq_, port_, client, 0) < 0 ||
                snd_seq_connect_from(seq_, port_, client, 0) < 0) {
                why = "cannot connect to " + name;
                return false;
            }
            attached_ = name;
            return true;
        }
        why = "no sequencer client for raw MIDI device " + device + " (is snd-virmidi loaded?)";
        return false;
    }

    // To every subscriber: the updater's input, and the raw device if attached.
    void send(const std::vector<std::uint8_t>& message) {
        std::lock_guard lock(sendMutex_);
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        snd_seq_ev_set_source(&ev, port_);
        snd_seq_ev_set_subs(&ev);
        snd_seq_ev_set_direct(&ev);
        snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(message.size()),
                             const_cast<std::uint8_t*>(message.data()));
        // A full receiver pool clears as the receiver reads; a short wait is enough.
        for (int tries = 0; tries < 2000; ++tries) {
            const int r = snd_seq_event_output_direct(seq_, &ev);
            if (r >= 0 || r != -EAGAIN) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Reads what has arrived and hands each whole message to receive.
    template <typename Receive>
    void read(Receive&& receive) {
        for (;;) {
            snd_seq_event_t* ev = nullptr;
            const int r = snd_seq_event_input(seq_, &ev);
            if (r == -ENOSPC) {  // the kernel dropped events: our pool was full
                ++overruns_;
                continue;
            }
            if (r < 0 || !ev) return;
            if (ev->type != SND_SEQ_EVENT_SYSEX) continue;
            // Raw devices deliver 256-byte pieces; join them per sender.
            const int sender = ev->source.client * 256 + ev->source.port;
            Pending& p = pending_[sender];
            if (p.buffer.empty()) p.buffer.resize(MaxMessage);
            std::span<const std::uint8_t> piece(static_cast<const std::uint8_t*>(ev->data.ext.ptr),
                                                ev->data.ext.len);
            while (!piece.empty()) {
                const auto step = p.joiner.feed(piece, p.buffer, p.recorded);
                piece = piece.subspan(step.consumed);
                if (!step.bufferReady) continue;
                const bool whole =
                    p.recorded >= 2 && p.buffer[0] == 0xF0 && p.buffer[p.recorded - 1] == 0xF7;
                if (whole)
                    receive(std::span<const std::uint8_t>(p.buffer.data(), p.recorded));
                else
                    ++partials_;
                p.recorded = 0;
            }
        }
    }

    std::vector<pollfd> pollFds() const {
        std::vector<pollfd> fds(
            static_cast<std::size_t>(snd_seq_poll_descriptors_count(seq_, POLLIN)));
        snd_seq_poll_descriptors(seq_, fds.data(), static_cast<unsigned>(fds.size()), POLLIN);
        return fds;
    }
    int client() const { return snd_seq_client_id(seq_); }
    int port() const { return port_; }
    const std::string& attached() const { return attached_; }
    int overruns() const { return overruns_; }
    int partials() const { return partials_; }

  private:
    struct Pending {
        q4m::midi::alsa::SysexJoiner joiner;
        std::vector<std::uint8_t> buffer;
        std::uint32_t recorded = 0;
    };
    snd_seq_t* seq_ = nullptr;
    int port_ = -1;
    std::mutex sendMutex_;
    std::map<int, Pending> pending_;
    std::string attached_;
    int overruns_ = 0;
    int partials_ = 0;
};

bool saveFlash(const q4m::sim::DeviceSimulator& device, const std::string& path) {
    if (path.empty()) return true;
    std::string error;
    if (device.saveFlash(path, &error)) return true;
    std::fprintf(stderr, "q4m-devsim: %s\n", error.c_str());
    return false;
}

std::string checkRawmidi(const std::string& text) {
    auto number = [](std::string_view t) {
        return !t.empty() && t.size() <= 3 && t.find_first_not_of("0123456789") == t.npos;
    };
    const std::string_view t = text;
    const auto comma = t.find(',');
    const bool ok = t.starts_with("hw:") && comma != t.npos && number(t.substr(3, comma - 3)) &&
                    number(t.substr(comma + 1));
    return ok ? std::string() : "'" + text + "' is not hw:CARD,DEVICE";
}

// Parses and checks the command line; the exit status when the program is to
// end at once (help, version, bad usage).
std::optional<int> parse(int argc, char** argv, Options& o) {
    CLI::App app{"The simulated Vexa Q4m as an ALSA MIDI device named \"VEXA Q Series\".",
                 "q4m-devsim"};
    app.set_version_flag("--version", q4m::tools::versionLine("q4m-devsim"));
    app.footer(
        "Each device option is also taken with the terminal tool's spelling (--sim-drop for\n"
        "--drop). Exit status: 0 stopped (SIGINT, SIGTERM, or --exit-after-end), 1 the ALSA\n"
        "sequencer or the flash file failed, 2 bad usage.");
    q4m::tools::addSimOptions(app, o.sim, q4m::tools::SimSpelling::BareOrPrefixed);
    app.add_option("--rawmidi", o.rawmidi, "Also wire to snd-virmidi device hw:N,D")
        ->check(checkRawmidi)
        ->type_name("hw:N,D");
    app.add_flag("--exit-after-end", o.exitAfterEnd, "Exit once an update has ended");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        std::printf("%s\n", e.what());
        return 0;
    } catch (const CLI::ParseError& e) {
        // One line, without CLI11's "Run with --help" advice.
        const std::string text = e.what();
        std::fprintf(stderr, "q4m-devsim: %s\n", text.substr(0, text.find('\n')).c_str());
        return 2;
    }
    const std::string error =
        q4m::tools::finishSimOptions(o.sim, q4m::tools::SimSpelling::BareOrPrefixed);
    if (!error.empty()) {
        std::fprintf(stderr, "q4m-devsim: %s\n", error.c_str());
        return 2;
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    // First of all: signals arrive through a descriptor in the poll loop, in
    // no other thread, from the first moment on; one that comes before the
    // loop runs ends it at once.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    Options o;
    if (const auto status = parse(argc, argv, o)) return *status;

    // Late means past the product's block time limit.
    const auto lateDelay = q4m::engine::DefaultTimings.blockReply * 3 / 2;
    q4m::sim::DeviceSimulator device(q4m::tools::simConfig(o.sim, lateDelay));
    q4m::tools::loadFlashInto(device, o.sim);

    q4m::midi::alsa::silenceAlsaDiagnostics();  // our own one-line reasons say enough
    SequencerLink link;
    std::string why;
    if (!link.open(why) || (!o.rawmidi.empty() && !link.attachRaw(o.rawmidi, why))) {
        std::fprintf(stderr, "q4m-devsim: %s\n", why.c_str());
        return 1;
    }
    device.setSender([&link](std::vector<std::uint8_t> message) { link.send(message); });
    std::printf("q4m-devsim: ready as %d:%d \"%s\"%s%s\n", link.client(), link.port(), DeviceName,
                link.attached().empty() ? "" : ", wired to ", link.attached().c_str());
    std::fflush(stdout);

    std::vector<pollfd> fds = link.pollFds();
    fds.push_back({signalFd, POLLIN, 0});
    bool ended = false;
    bool stop = false;
    while (!stop) {
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fds.back().revents & POLLIN) break;
        link.read([&](std::span<const std::uint8_t> message) {
            const bool wasUpdating = device.updating();
            device.receive(message);
            if (wasUpdating && !device.updating()) ended = true;
        });
        stop = ended && o.exitAfterEnd;
    }
    device.waitIdle(std::chrono::seconds(2));  // the last reply leaves before the flash is saved
    const bool saved = saveFlash(device, o.sim.flashOut);
    const auto counters = device.counters();
    std::printf(
        "q4m-devsim: %s; %d messages, %d blocks written, %d CRC failures, %d error "
        "replies, %d input overruns, %d partial messages dropped\n",
        ended ? "update ended" : "stopped", counters.messagesReceived, counters.blocksWritten,
        counters.crcFailures, counters.errorReplies, link.overruns(), link.partials());
    return saved ? 0 : 1;
}
