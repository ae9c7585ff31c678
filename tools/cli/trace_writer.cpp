#include "tools/cli/trace_writer.h"

#include <charconv>

namespace q4m::cli {

namespace {

constexpr std::size_t WriteOutThreshold = 1 << 20;
constexpr char HexDigits[] = "0123456789ABCDEF";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

TraceWriter::~TraceWriter() {
    close();
}

bool TraceWriter::open(const std::string& path) {
    std::lock_guard lock(mutex_);
    file_ = std::fopen(path.c_str(), "wb");
    failed_ = file_ == nullptr;
    return file_ != nullptr;
}

void TraceWriter::comment(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (!file_) return;
    buffer_ += "# ";
    buffer_ += text;
    buffer_ += '\n';
}

void TraceWriter::appendHex(std::span<const std::uint8_t> bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i) buffer_ += ' ';
        buffer_ += HexDigits[bytes[i] >> 4];
        buffer_ += HexDigits[bytes[i] & 0x0F];
    }
}

void TraceWriter::record(bool outbound, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (!file_) return;
    // Stamped under the lock so that the stamps rise with the line order.
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - start_)
                            .count();
    buffer_ += std::to_string(micros / 1000);
    buffer_ += '.';
    const auto frac = std::to_string(1000 + micros % 1000);
    buffer_.append(frac, 1, 3);
    buffer_ += outbound ? " > " : " < ";
    appendHex(bytes);
    buffer_ += '\n';
    if (buffer_.size() >= WriteOutThreshold) writeOutLocked();
}

void TraceWriter::writeOutLocked() {
    if (!buffer_.empty() && std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size())
        failed_ = true;
    buffer_.clear();
}

bool TraceWriter::close() {
    std::lock_guard lock(mutex_);
    if (!file_) return !failed_;
    writeOutLocked();
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
}

std::optional<TraceRecord> parseTraceLine(std::string_view line) {
    if (line.empty() || line.front() == '#') return std::nullopt;
    const auto sp1 = line.find(' ');
    if (sp1 == std::string_view::npos || line.size() < sp1 + 3) return std::nullopt;
    TraceRecord record;
    const auto stamp = line.substr(0, sp1);
    // The writer's stamps start with a digit: this refuses negative times,
    // and "inf" and "nan", which from_chars would take.
    if (stamp.empty() || stamp.front() < '0' || stamp.front() > '9') return std::nullopt;
    const auto [end, ec] = std::from_chars(stamp.data(), stamp.data() + stamp.size(), record.ms);
    if (ec != std::errc() || end != stamp.data() + stamp.size()) return std::nullopt;
    const char dir = line[sp1 + 1];
    if ((dir != '>' && dir != '<') || line[sp1 + 2] != ' ') return std::nullopt;
    record.outbound = dir == '>';
    auto hex = line.substr(sp1 + 3);
    while (!hex.empty()) {
        if (hex.size() < 2) return std::nullopt;
        const int hi = hexValue(hex[0]);
        const int lo = hexValue(hex[1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        record.bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
        hex.remove_prefix(2);
        if (!hex.empty()) {
            if (hex.front() != ' ') return std::nullopt;
            hex.remove_prefix(1);
            if (hex.empty()) return std::nullopt;
        }
    }
    if (record.bytes.empty()) return std::nullopt;
    return record;
}

}  // namespace q4m::cli
