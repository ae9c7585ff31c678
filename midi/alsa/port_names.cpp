#include "midi/alsa/port_names.h"

#include <set>

#include "midi/device_name.h"

namespace q4m::midi::alsa {

namespace {

std::string fitted(const std::string& name, std::size_t maxBytes) {
    std::string out(maxBytes + 1, '\0');
    copyDeviceName(name, out.data(), static_cast<int>(maxBytes));
    out.resize(out.find('\0'));
    return out;
}

}  // namespace

std::string portDisplayName(const std::string& clientName, const std::string& portName,
                            int portCount) {
    if (portName.empty()) return clientName;
    if (portCount <= 1 && !clientName.empty()) return clientName;
    if (clientName.empty() || portName.compare(0, clientName.size(), clientName) == 0)
        return portName;
    return clientName + " " + portName;
}

std::vector<std::string> makeDistinctNames(const std::vector<std::string>& names,
                                           std::size_t maxBytes) {
    std::vector<std::string> out;
    out.reserve(names.size());
    std::set<std::string> taken;
    for (const std::string& name : names) {
        const std::string base = fitted(name, maxBytes);
        std::string candidate = base;
        for (int n = 2; taken.count(candidate) != 0; ++n) {
            const std::string suffix = " (" + std::to_string(n) + ")";
            candidate = fitted(base, maxBytes - suffix.size()) + suffix;
        }
        taken.insert(candidate);
        out.push_back(std::move(candidate));
    }
    return out;
}

}  // namespace q4m::midi::alsa
