// The trace-line parser: any line it accepts has a time stamp that is a
// finite number not below zero, at least one byte, and a direction and hex
// part exactly as the writer puts them; and every message the writer
// records parses back to its own direction and bytes.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>

#include "tools/cli/trace_writer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void failed(const char* what, std::string_view line) {
    std::fprintf(stderr, "trace line fuzz: %s: '%.*s'\n", what, static_cast<int>(line.size()),
                 line.data());
    std::abort();
}

std::string hexPart(bool outbound, const Bytes& bytes) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string s = outbound ? "> " : "< ";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) s += ' ';
        s += Digits[bytes[i] >> 4];
        s += Digits[bytes[i] & 0x0F];
    }
    return s;
}

// One file for the whole fuzzing process, removed when it exits.
const std::string& scratchPath() {
    static const struct Scratch {
        // In memory where the system offers it: a file per input is the slow part.
        std::string path = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                           "/q4m-trace-fuzz-" + std::to_string(::getpid()) + ".txt";
        ~Scratch() { std::remove(path.c_str()); }
    } scratch;
    return scratch.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Any text as one line.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view line = text.substr(0, text.find('\n'));
    if (const auto record = q4m::cli::parseTraceLine(line)) {
        if (!std::isfinite(record->ms) || record->ms < 0 || std::signbit(record->ms))
            failed("accepted a time stamp that is negative or not a number", line);
        if (record->bytes.empty()) failed("accepted a line without bytes", line);
        if (line.substr(line.find(' ') + 1) != hexPart(record->outbound, record->bytes))
            failed("accepted a direction or hex part the writer never writes", line);
    }

    // The input as messages through the writer: one per 0xF7-ended run of
    // bytes, alternating directions, then read back line by line.
    if (size == 0) return 0;
    std::vector<Bytes> messages(1);
    for (std::size_t i = 0; i < size; ++i) {
        messages.back().push_back(data[i]);
        if (data[i] == 0xF7 && i + 1 < size) messages.emplace_back();
    }
    {
        q4m::cli::TraceWriter writer;
        if (!writer.open(scratchPath())) failed("cannot open the scratch file", scratchPath());
        writer.comment(line);
        writer.start();
        for (std::size_t i = 0; i < messages.size(); ++i) writer.record(i % 2 == 0, messages[i]);
        if (!writer.close()) failed("writing the scratch file failed", scratchPath());
    }
    std::ifstream in(scratchPath());
    std::string written;
    if (!std::getline(in, written) || written.rfind("# ", 0) != 0 ||
        q4m::cli::parseTraceLine(written))
        failed("the comment line did not come back as a comment", written);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (!std::getline(in, written)) failed("a recorded message is missing", "");
        const auto record = q4m::cli::parseTraceLine(written);
        if (!record) failed("the writer's own line does not parse", written);
        if (record->outbound != (i % 2 == 0) || record->bytes != messages[i])
            failed("the writer's own line parses to something else", written);
        if (record->ms < 0) failed("the writer stamped a negative time", written);
    }
    if (std::getline(in, written)) failed("an extra line", written);
    return 0;
}
