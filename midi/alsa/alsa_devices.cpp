#include "midi/alsa/alsa_devices.h"

#include <unistd.h>

#include <set>

#include "midi/alsa/port_names.h"

namespace q4m::midi::alsa {

namespace {

void quietHandler(const char*, int, const char*, int, const char*, ...) {}

void addRawPorts(Direction direction, std::vector<Endpoint>& out) {
    const auto stream =
        direction == Direction::In ? SND_RAWMIDI_STREAM_INPUT : SND_RAWMIDI_STREAM_OUTPUT;
    snd_ctl_card_info_t* cardInfo = nullptr;
    snd_rawmidi_info_t* info = nullptr;
    snd_ctl_card_info_alloca(&cardInfo);
    snd_rawmidi_info_alloca(&info);

    int card = -1;
    while (snd_card_next(&card) >= 0 && card >= 0) {
        snd_ctl_t* ctl = nullptr;
        const std::string hw = "hw:" + std::to_string(card);
        if (snd_ctl_open(&ctl, hw.c_str(), 0) < 0) continue;
        std::string cardName;
        if (snd_ctl_card_info(ctl, cardInfo) >= 0) cardName = snd_ctl_card_info_get_name(cardInfo);

        struct Port {
            int device;
            int subdevice;
            unsigned subdevices;
            std::string deviceName;
            std::string subdeviceName;
        };
        std::vector<Port> ports;
        int device = -1;
        while (snd_ctl_rawmidi_next_device(ctl, &device) >= 0 && device >= 0) {
            snd_rawmidi_info_set_device(info, static_cast<unsigned>(device));
            snd_rawmidi_info_set_stream(info, stream);
            snd_rawmidi_info_set_subdevice(info, 0);
            if (snd_ctl_rawmidi_info(ctl, info) < 0) continue;  // no such direction
            const unsigned count = snd_rawmidi_info_get_subdevices_count(info);
            for (unsigned sub = 0; sub < count; ++sub) {
                snd_rawmidi_info_set_subdevice(info, sub);
                if (snd_ctl_rawmidi_info(ctl, info) < 0) continue;
                std::string name = snd_rawmidi_info_get_name(info);
                if (name.empty()) name = cardName;
                ports.push_back({device, static_cast<int>(sub), count, name,
                                 snd_rawmidi_info_get_subdevice_name(info)});
            }
        }
        snd_ctl_close(ctl);

        // A card with one port shows under the device's name (a USB device's
        // product name); with several, under the subdevice names when they tell
        // the ports apart (USB: "<product> MIDI 2"), else under the device's
        // name and its numbers as ALSA's own tools show them ("<name> 1-0",
        // "<name> 1-0-3" for a device with several subdevices).
        std::multiset<std::string> subNames;
        for (const Port& p : ports) subNames.insert(p.subdeviceName);
        for (std::size_t i = 0; i < ports.size(); ++i) {
            const Port& p = ports[i];
            Endpoint e;
            e.kind = Endpoint::Kind::Raw;
            e.card = card;
            e.device = p.device;
            e.subdevice = p.subdevice;
            const bool subNameTells =
                !p.subdeviceName.empty() && subNames.count(p.subdeviceName) == 1;
            if (ports.size() == 1)
                e.name = p.deviceName;
            else if (subNameTells)
                e.name =
                    portDisplayName(p.deviceName, p.subdeviceName, static_cast<int>(ports.size()));
            else {
                // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict)
                // on the `"-" + std::to_string(...)` temporary.
                e.name = p.deviceName + " " + std::to_string(card) + "-" + std::to_string(p.device);
                if (p.subdevices > 1) {
                    e.name += '-';
                    e.name += std::to_string(p.subdevice);
                }
            }
            out.push_back(std::move(e));
        }
    }
}

void addSequencerPorts(Direction direction, snd_seq_t* seq, std::vector<Endpoint>& out) {
    const unsigned wanted = direction == Direction::In
                                ? SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ
                                : SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    const int self = snd_seq_client_id(seq);
    snd_seq_client_info_t* clientInfo = nullptr;
    snd_seq_port_info_t* portInfo = nullptr;
    snd_seq_client_info_alloca(&clientInfo);
    snd_seq_port_info_alloca(&portInfo);

    snd_seq_client_info_set_client(clientInfo, -1);
    while (snd_seq_query_next_client(seq, clientInfo) >= 0) {
        const int client = snd_seq_client_info_get_client(clientInfo);
        if (client == self || client == SND_SEQ_CLIENT_SYSTEM) continue;
        // A card's ports are listed through raw MIDI: the sequencer's bridge to
        // them drops SysEx that does not fit its 4 KB buffer.
        if (snd_seq_client_info_get_type(clientInfo) == SND_SEQ_KERNEL_CLIENT &&
            snd_seq_client_info_get_card(clientInfo) >= 0)
            continue;
        const std::string clientName = snd_seq_client_info_get_name(clientInfo);

        std::vector<std::pair<int, std::string>> ports;
        snd_seq_port_info_set_client(portInfo, client);
        snd_seq_port_info_set_port(portInfo, -1);
        while (snd_seq_query_next_port(seq, portInfo) >= 0) {
            const unsigned caps = snd_seq_port_info_get_capability(portInfo);
            if ((caps & wanted) != wanted || (caps & SND_SEQ_PORT_CAP_NO_EXPORT) != 0) continue;
            ports.emplace_back(snd_seq_port_info_get_port(portInfo),
                               snd_seq_port_info_get_name(portInfo));
        }
        for (const auto& [port, portName] : ports) {
            Endpoint e;
            e.kind = Endpoint::Kind::Sequencer;
            e.client = client;
            e.port = port;
            e.name = portDisplayName(clientName, portName, static_cast<int>(ports.size()));
            out.push_back(std::move(e));
        }
    }
}

}  // namespace

void silenceAlsaDiagnostics() {
    snd_lib_error_set_handler(&quietHandler);
}

bool soundDevicesPresent() {
    return ::access("/dev/snd", F_OK) == 0;
}

snd_seq_t* openSequencer(int streams) {
    if (::access("/dev/snd/seq", F_OK) != 0) return nullptr;
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", streams, SND_SEQ_NONBLOCK) < 0) return nullptr;
    snd_seq_set_client_name(seq, OwnClientName);
    return seq;
}

std::vector<Endpoint> listEndpoints(Direction direction, snd_seq_t* query) {
    std::vector<Endpoint> endpoints;
    if (!soundDevicesPresent()) return endpoints;
    addRawPorts(direction, endpoints);
    if (query) addSequencerPorts(direction, query, endpoints);
    std::vector<std::string> names;
    for (const Endpoint& e : endpoints) names.push_back(e.name);
    names = makeDistinctNames(names);
    for (std::size_t i = 0; i < endpoints.size(); ++i) endpoints[i].name = std::move(names[i]);
    return endpoints;
}

std::string rawDeviceName(const Endpoint& endpoint) {
    return "hw:" + std::to_string(endpoint.card) + "," + std::to_string(endpoint.device) + "," +
           std::to_string(endpoint.subdevice);
}

}  // namespace q4m::midi::alsa
