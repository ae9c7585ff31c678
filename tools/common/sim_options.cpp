#include "tools/common/sim_options.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "sim/flash_file.h"

namespace q4m::tools {

namespace {

std::string checkIdentity(const std::string& text) {
    const bool ok = text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) {
                        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
                    });
    return ok ? std::string() : "'" + text + "' is not 8 hex digits";
}

std::string checkStamp(const std::string& text) {
    const bool ok = text.size() == 4 && std::all_of(text.begin(), text.end(),
                                                    [](char c) { return c >= 0x20 && c < 0x7F; });
    return ok ? std::string() : "'" + text + "' is not 4 printable ASCII characters";
}

// "--sim-drop", or "--drop,--sim-drop" where the bare spelling is taken too.
std::string names(SimSpelling spelling, const std::string& name) {
    return spelling == SimSpelling::Prefixed ? "--sim-" + name : "--" + name + ",--sim-" + name;
}

// The name an error line gives the option: the one the program's help leads with.
std::string shownName(SimSpelling spelling, const std::string& name) {
    return spelling == SimSpelling::Prefixed ? "--sim-" + name : "--" + name;
}

}  // namespace

std::string checkProbability(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(v >= 0.0 && v <= 1.0))
        return "'" + text + "' is not a probability from 0 to 1";
    return {};
}

std::string checkNonEmptyPath(const std::string& text) {
    return text.empty() ? "an empty file name" : std::string();
}

std::string checkSeed(const std::string& text) {
    // strtoull alone would take "-1" as 2^64 - 1 and clamp what is too large.
    const bool digits = !text.empty() && std::all_of(text.begin(), text.end(),
                                                     [](char c) { return c >= '0' && c <= '9'; });
    errno = 0;
    if (digits) std::strtoull(text.c_str(), nullptr, 10);
    if (!digits || errno == ERANGE)
        return "'" + text + "' is not a whole number from 0 to 18446744073709551615";
    return {};
}

std::string checkWritableFile(const std::string& path) {
    if (path.empty()) return "an empty file name";
#ifdef _WIN32
    // No descriptors here: opened for appending, which leaves an existing file
    // as it is; a file made for the check is removed again.
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return "'" + path + "' is a directory";
    const bool existed = std::filesystem::exists(path, ec);
    {
        std::ofstream probe(path, std::ios::binary | std::ios::app);
        if (!probe) return "cannot write '" + path + "'";
    }
    if (!existed) std::filesystem::remove(path, ec);
    return {};
#else
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return "'" + path + "' is a directory";
        if (!S_ISREG(info.st_mode)) return {};  // /dev/stderr, a FIFO: opened when written
        // Opened without truncating: an existing file stays as it is until the run.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return "cannot write '" + path + "': " + std::strerror(errno);
        ::close(fd);
        return {};
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return "cannot write '" + path + "': " + std::strerror(errno);
    ::close(fd);
    ::unlink(path.c_str());
    return {};
#endif
}

std::vector<CLI::Option*> addSimOptions(CLI::App& app, SimOptions& o, SimSpelling spelling) {
    auto n = [spelling](const char* name) { return names(spelling, name); };
    return {
        app.add_option(n("identity"), o.identity, "Family and member code, 8 hex digits")
            ->check(checkIdentity)
            ->type_name("HEX")
            ->default_str("3C000200"),
        app.add_option(n("boot-stamp"), o.bootStamp, "Boot stamp at 0x22FFC, 4 characters")
            ->check(checkStamp)
            ->type_name("TEXT")
            ->default_str("0.90"),
        app.add_flag(n("not-in-update-mode"), o.notInUpdateMode,
                     "Refuse the update (device not in update mode)"),
        app.add_option(n("drop"), o.dropProbability, "Probability of losing a reply")
            ->check(checkProbability)
            ->type_name("P"),
        app.add_option(n("corrupt"), o.corruptProbability, "Probability of damaging a block")
            ->check(checkProbability)
            ->type_name("P"),
        app.add_option(n("error"), o.errorProbability, "Probability of an error reply")
            ->check(checkProbability)
            ->type_name("P"),
        app.add_option(n("late"), o.lateProbability,
                       "Probability of a reply coming late (see the late delay)")
            ->check(checkProbability)
            ->type_name("P"),
        app.add_option(n("late-ms"), o.lateMs,
                       "How late a late reply comes, in ms (default: 1.5 times the block time "
                       "limit)")
            ->check(CLI::Range(0, MaxDelayMs))
            ->type_name("MS"),
        app.add_option(n("seed"), o.seed, "Seed of the fault generator, 0 to 2^64-1")
            ->check(checkSeed)
            ->type_name("N"),
        app.add_option(n("latency-ms"), o.latencyMs, "Delay before each reply, in ms")
            ->check(CLI::Range(0, MaxDelayMs))
            ->type_name("MS"),
        app.add_flag(n("chatter"), o.chatter, "Send unrelated messages now and then"),
        app.add_option(n("power-cut"), o.powerCutAfter,
                       "Cut the device's power after N messages (0: never)")
            ->check(CLI::Range(0, INT_MAX))
            ->type_name("N"),
        app.add_option(n("flash-in"), o.flashIn, "Load a 1 MiB flash image")
            ->check(checkNonEmptyPath)
            ->type_name("FILE"),
        app.add_option(n("flash-out"), o.flashOut,
                       "Save the 1 MiB flash image when the device stops")
            ->check(checkNonEmptyPath)
            ->type_name("FILE"),
    };
}

std::string finishSimOptions(SimOptions& o, SimSpelling spelling) {
    std::string error;
    if (!o.flashIn.empty() &&
        !sim::readExactFile(o.flashIn, sim::DeviceSimulator::FlashSize, o.flashImage, &error))
        return shownName(spelling, "flash-in") + ": " + error;
    if (!o.flashOut.empty()) {
        error = sim::checkReplaceable(o.flashOut);
        if (!error.empty()) return shownName(spelling, "flash-out") + ": " + error;
    }
    return {};
}

sim::SimConfig simConfig(const SimOptions& o, std::chrono::milliseconds lateDelay) {
    sim::SimConfig config;
    if (!o.identity.empty())
        for (std::size_t i = 0; i < 4; ++i)
            config.identity[i] =
                static_cast<std::uint8_t>(std::stoul(o.identity.substr(i * 2, 2), nullptr, 16));
    if (!o.bootStamp.empty()) config.bootStamp = o.bootStamp;
    config.updateMode = !o.notInUpdateMode;
    config.dropProbability = o.dropProbability;
    config.corruptProbability = o.corruptProbability;
    config.errorProbability = o.errorProbability;
    config.lateProbability = o.lateProbability;
    config.lateDelay = o.lateMs ? std::chrono::milliseconds(*o.lateMs) : lateDelay;
    config.seed = o.seed;
    config.latency = std::chrono::milliseconds(o.latencyMs);
    config.chatter = o.chatter;
    config.powerCutAfter = o.powerCutAfter;
    config.recordTranscript = false;  // a whole run's transcript is tens of MB
    return config;
}

void loadFlashInto(sim::DeviceSimulator& device, const SimOptions& o) {
    if (o.flashImage.empty()) return;
    device.setFlash(o.flashImage);
    if (!o.bootStamp.empty()) device.writeBootStamp(o.bootStamp);
}

}  // namespace q4m::tools
