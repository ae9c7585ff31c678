#include "tools/cli/port_select.h"

#include <algorithm>
#include <cctype>

#include "app/port_choice.h"

namespace q4m::cli {

namespace {

std::string listOf(const std::vector<std::string>& names, const std::vector<int>& indices) {
    std::string text;
    for (int i : indices) {
        if (!text.empty()) text += ", ";
        text += std::to_string(i) + " '" + names[static_cast<std::size_t>(i)] + "'";
    }
    return text;
}

bool isIndex(const std::string& text) {
    return !text.empty() && text.size() <= 9 && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

}  // namespace

PortChoice choosePort(const std::vector<std::string>& names, const std::optional<std::string>& spec,
                      int instance, const std::string& kind, const std::string& option) {
    PortChoice choice;
    const int count = static_cast<int>(names.size());
    if (spec) {
        // A spec of digits is an index, even if some port were named like one.
        if (isIndex(*spec)) {
            const int index = std::stoi(*spec);
            if (index < count)
                choice.index = index;
            else
                choice.error = "no " + kind + " port with index " + *spec + " (there are " +
                               std::to_string(count) + ")";
            return choice;
        }
        std::vector<int> named;
        for (int i = 0; i < count; ++i)
            if (names[static_cast<std::size_t>(i)] == *spec) named.push_back(i);
        if (named.size() == 1)
            choice.index = named.front();
        else if (named.empty())
            choice.error = "no " + kind + " port is named '" + *spec + "'";
        else
            choice.error = "several " + kind + " ports are named '" + *spec +
                           "': " + listOf(names, named) + "; choose one by index with " + option;
        return choice;
    }
    const auto hits = app::matchingPorts(names, instance);
    if (hits.size() == 1) {
        choice.index = hits.front();
    } else if (hits.empty()) {
        choice.error = "no " + kind + " port has the device's name for instance " +
                       std::to_string(instance) + (count == 0 ? " (there are no ports)" : "") +
                       "; see --list, or choose one with " + option;
    } else {
        choice.error = "several " + kind + " ports have the device's name: " + listOf(names, hits) +
                       "; choose one with " + option;
    }
    return choice;
}

}  // namespace q4m::cli
