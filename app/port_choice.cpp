#include "app/port_choice.h"

#include "engine/strings.h"

namespace q4m::app {

std::array<std::string, 3> wantedPortNames(int instance) {
    std::array<std::string, 3> wanted;
    for (std::size_t i = 0; i < wanted.size(); ++i)
        wanted[i] = engine::withInstanceSuffix(DevicePortNames[i], instance);
    return wanted;
}

bool isWantedPortName(std::string_view name, int instance) {
    for (const auto& wanted : wantedPortNames(instance))
        if (name == wanted) return true;
    return false;
}

std::vector<int> matchingPorts(const std::vector<std::string>& names, int instance) {
    const auto wanted = wantedPortNames(instance);
    std::vector<int> hits;
    for (std::size_t i = 0; i < names.size(); ++i) {
        for (const auto& w : wanted) {
            if (names[i] == w) {
                hits.push_back(static_cast<int>(i));
                break;
            }
        }
    }
    return hits;
}

int preselectPort(const std::vector<std::string>& names, int instance) {
    const auto hits = matchingPorts(names, instance);
    return hits.empty() ? -1 : hits.back();
}

}  // namespace q4m::app
