// Test tool for the VM run: sends one SysEx message out of one ALSA port and
// checks that it arrives, byte for byte, at another, through the product's
// own ports and the ALSA backend.
//
//   q4m-alsa-roundtrip list
//   q4m-alsa-roundtrip link CLIENT_A CLIENT_B   (sequencer: A's first port -> B's)
//   q4m-alsa-roundtrip send OUT_NAME IN_NAME SIZE
//   q4m-alsa-roundtrip stall   (a send to a receiver that never reads ends
//                               when the port is closed from another thread)
//   q4m-alsa-roundtrip watch   (a sequencer port that appears and goes away is
//                               announced to the port watcher both times)
#include <alsa/asoundlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "midi/alsa/alsa_midi.h"
#include "midi/in_port.h"
#include "midi/out_port.h"

namespace {

using namespace q4m::midi;
using Clock = std::chrono::steady_clock;

template <typename Port>
int findPort(Port& port, const std::string& name) {
    char text[Port::NameCapacity];
    const int count = port.deviceCount();
    for (int i = 0; i < count; ++i) {
        port.deviceName(i, text);
        if (name == text) return i;
    }
    return -1;
}

int list() {
    AlsaMidiService service;
    MidiInPort in(service);
    MidiOutPort out(service, std::chrono::seconds(10));
    char text[MidiInPort::NameCapacity];
    for (int i = 0, n = in.deviceCount(); i < n; ++i) {
        in.deviceName(i, text);
        std::printf("in  %d: %s\n", i, text);
    }
    for (int i = 0, n = out.deviceCount(); i < n; ++i) {
        out.deviceName(i, text);
        std::printf("out %d: %s\n", i, text);
    }
    return 0;
}

// The address of the first port of the client called name.
bool findClient(snd_seq_t* seq, const std::string& name, snd_seq_addr_t& addr) {
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (snd_seq_query_next_client(seq, client) >= 0) {
        if (name != snd_seq_client_info_get_name(client)) continue;
        snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
        snd_seq_port_info_set_port(port, -1);
        if (snd_seq_query_next_port(seq, port) < 0) return false;
        addr = *snd_seq_port_info_get_addr(port);
        return true;
    }
    return false;
}

int linkClients(const std::string& from, const std::string& to) {
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) {
        std::printf("roundtrip: no sequencer\n");
        return 1;
    }
    snd_seq_addr_t sender{}, dest{};
    int rc = 1;
    if (!findClient(seq, from, sender) || !findClient(seq, to, dest)) {
        std::printf("roundtrip: client '%s' or '%s' not found\n", from.c_str(), to.c_str());
    } else {
        snd_seq_port_subscribe_t* sub = nullptr;
        snd_seq_port_subscribe_alloca(&sub);
        snd_seq_port_subscribe_set_sender(sub, &sender);
        snd_seq_port_subscribe_set_dest(sub, &dest);
        rc = snd_seq_subscribe_port(seq, sub) < 0 ? 1 : 0;
        std::printf("roundtrip: link %d:%d -> %d:%d %s\n", sender.client, sender.port, dest.client,
                    dest.port, rc == 0 ? "made" : "refused");
    }
    snd_seq_close(seq);
    return rc;
}

int sendAndCompare(const std::string& outName, const std::string& inName, std::size_t size) {
    AlsaMidiService service;
    MidiInPort in(service);
    MidiOutPort out(service, std::chrono::seconds(10));
    const int outIndex = findPort(out, outName);
    const int inIndex = findPort(in, inName);
    if (outIndex < 0 || inIndex < 0) {
        std::printf("roundtrip: port '%s' or '%s' not found\n", outName.c_str(), inName.c_str());
        return 1;
    }
    in.setDeviceIndex(inIndex);
    if (in.start() != 1 || out.open(outIndex) != 1) {
        std::printf("roundtrip: cannot open the ports\n");
        return 1;
    }
    std::vector<std::uint8_t> message(size);
    for (std::size_t i = 0; i < size; ++i)
        message[i] = static_cast<std::uint8_t>((i * 7 + i / 128) % 0x80);
    message.front() = 0xF0;
    message.back() = 0xF7;

    const auto start = Clock::now();
    if (sendSysex(out, message.data(), static_cast<std::uint32_t>(size)) != 0) {
        std::printf("roundtrip: send failed\n");
        return 1;
    }
    const double sendMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();

    std::vector<std::uint8_t> received;
    int entries = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (received.size() < size && Clock::now() < deadline) {
        const auto entry = in.frontMessage();
        if (entry.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        received.insert(received.end(), entry.begin(), entry.end());
        in.popMessage();
        ++entries;
    }
    const bool intact = received == message;
    std::printf(
        "roundtrip: %zu bytes '%s' -> '%s': %s (%zu bytes back in %d buffer(s), send %.1f ms)\n",
        size, outName.c_str(), inName.c_str(), intact ? "intact" : "DAMAGED", received.size(),
        entries, sendMs);
    in.stop();
    out.close();
    return intact ? 0 : 1;
}

int stallAndClose() {
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) {
        std::printf("roundtrip: no sequencer\n");
        return 1;
    }
    // Default pool (200 cells, about 5.6 KB of SysEx) that nobody empties.
    const std::string receiver = "Stalled Receiver";
    snd_seq_set_client_name(seq, receiver.c_str());
    snd_seq_create_simple_port(seq, receiver.c_str(),
                               SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    int rc = 1;
    {
        AlsaMidiService service;
        MidiOutPort out(service, std::chrono::seconds(60));
        const int index = findPort(out, receiver);
        if (index < 0 || out.open(index) != 1) {
            std::printf("roundtrip: cannot open '%s'\n", receiver.c_str());
        } else {
            std::vector<std::uint8_t> message(16384, 0x55);
            message.front() = 0xF0;
            message.back() = 0xF7;
            std::atomic<int> result{1};
            const auto start = Clock::now();
            std::thread sender([&] {
                result = sendSysex(out, message.data(), static_cast<std::uint32_t>(message.size()));
            });
            // Whenever the close comes (before, during or after the send has
            // filled the pool), the send must end unsent and promptly.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            out.close();
            sender.join();
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            rc = result == -1 && ms < 20000 ? 0 : 1;
            std::printf(
                "roundtrip: a send to a receiver that never reads: result %d, ended by "
                "close after %.0f ms\n",
                result.load(), ms);
        }
    }
    snd_seq_close(seq);
    return rc;
}

int watchPorts() {
    AlsaMidiService service;
    MidiOutPort out(service, std::chrono::seconds(10));
    std::atomic<int> notices{0};
    if (!service.watchPorts([&] { ++notices; })) {
        std::printf("roundtrip: the service cannot watch ports\n");
        return 1;
    }
    auto waitFor = [&](int count) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (notices < count && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return notices >= count;
    };
    const std::string name = "Hotplug Probe";
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0) {
        std::printf("roundtrip: no sequencer\n");
        return 1;
    }
    snd_seq_set_client_name(seq, name.c_str());
    snd_seq_create_simple_port(seq, name.c_str(),
                               SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    const bool arrived = waitFor(1) && findPort(out, name) >= 0;
    const int afterArrival = notices;
    snd_seq_close(seq);
    const bool left = waitFor(afterArrival + 1) && findPort(out, name) < 0;
    service.watchPorts({});
    const int atStop = notices;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const bool quiet = notices == atStop;
    std::printf("roundtrip: watch: arrival %s, departure %s, %d notice(s), %s after stop\n",
                arrived ? "seen" : "MISSED", left ? "seen" : "MISSED", notices.load(),
                quiet ? "quiet" : "NOT QUIET");
    return arrived && left && quiet ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "list" && argc == 2) return list();
    if (command == "stall" && argc == 2) return stallAndClose();
    if (command == "watch" && argc == 2) return watchPorts();
    if (command == "link" && argc == 4) return linkClients(argv[2], argv[3]);
    if (command == "send" && argc == 5)
        return sendAndCompare(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10));
    std::fprintf(stderr,
                 "usage: %s list | link CLIENT_A CLIENT_B | send OUT IN SIZE | stall | watch\n",
                 argv[0]);
    return 2;
}
