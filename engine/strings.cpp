#include "engine/strings.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

namespace q4m::engine {

namespace {

// The string table: id and exact text.
constexpr std::array<std::pair<int, std::string_view>, 22> StringTable{{
    {101, "About VEXA Q Series Updater(&A)..."},
    {102, "Time out error(1)"},
    {103, "Time out error(2)"},
    {104, "Time out error(3)"},
    {105, "Illegal device connected."},
    {106, "Please use the firmware update mode."},
    {107, "Transfer error occurred."},
    {108, "Version update completed."},
    {109, "In Progress."},
    {110, "Can't open MIDI In device."},
    {111, "Error"},
    {113, "Can't open MIDI Out device."},
    {114, "Erasing Flash memory."},
    {115, "Data transmit  %d / %d "},
    {116,
     "The firmware update is still running.\n"
     "If you stop it now, the device will not work until the update has been run again "
     "to the end.\n\n"
     "Stop the update?"},
    {117, "Stop Update"},
    {118, "No MIDI device found. Please connect the device."},
    {119,
     "Cannot use the lock directory %s: it must be a directory of your own that only you "
     "can write to."},
    {120, "A firmware update is running."},
    {121, "Status"},
    {122, "Step"},
    {123, "Progress"},
}};

template <typename... Args>
std::string format(std::string_view fmt, Args... args) {
    const std::string f(fmt);
    char buffer[256];
    const int n = std::snprintf(buffer, sizeof buffer, f.c_str(), args...);
    return n < 0 ? std::string() : std::string(buffer, std::min<std::size_t>(n, sizeof buffer - 1));
}

}  // namespace

std::string_view loadString(int id) {
    for (const auto& [key, text] : StringTable)
        if (key == id) return text;
    return {};
}

std::string withInstanceSuffix(std::string_view text, int n) {
    if (n <= 1) return std::string(text);
    return std::string(text) + " (" + std::to_string(n) + ")";
}

std::string stepText(int row, int rows) { return format("%d/%d", row, rows); }

std::string dataTransmitText(int offset, int total) {
    return format(loadString(StringId::DataTransmit), offset, total);
}

std::string instanceLimitText(int limit) { return format(InstanceLimitFormat, limit); }

std::string lockDirectoryText(std::string_view directory) {
    // Not through format(): a path may be longer than its buffer.
    const std::string_view text = loadString(StringId::LockDirectoryUnusable);
    const auto at = text.find("%s");
    return std::string(text.substr(0, at)) + std::string(directory) +
           std::string(text.substr(at + 2));
}

}  // namespace q4m::engine
