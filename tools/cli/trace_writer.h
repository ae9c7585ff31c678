// The session's message trace: one line per message, written from whichever
// thread sends or dispatches it. Lines are formatted into a memory buffer under
// a short lock and written out in large pieces, and at close.
//
// Line format: "<ms> <dir> <hex bytes>": milliseconds since the run began with
// three decimals, '>' host to device or '<' device to host, then the bytes as
// upper-case two-digit hex separated by single spaces. '#' starts a comment.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace q4m::cli {

class TraceWriter {
  public:
    TraceWriter() = default;
    ~TraceWriter();
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    bool open(const std::string& path);
    bool isOpen() const { return file_ != nullptr; }
    // Time zero of the stamps.
    void start() { start_ = std::chrono::steady_clock::now(); }
    void comment(std::string_view text);
    void record(bool outbound, std::span<const std::uint8_t> bytes);
    // Writes what is buffered and closes; false when any write failed.
    bool close();

  private:
    void appendHex(std::span<const std::uint8_t> bytes);
    void writeOutLocked();

    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::string buffer_;
    bool failed_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

struct TraceRecord {
    double ms = 0;
    bool outbound = false;
    std::vector<std::uint8_t> bytes;
};

// One trace line read back; nothing for comments, blank or malformed lines.
std::optional<TraceRecord> parseTraceLine(std::string_view line);

}  // namespace q4m::cli
