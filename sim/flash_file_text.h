// The texts both flash-file implementations (POSIX and Windows) report, kept
// in one place so the two platforms say the same thing.
#pragma once

#include <cstddef>
#include <string>

namespace q4m::sim::flash_file_text {

inline std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// got is the bytes read, at most size + 1 (more than size means "too long").
inline std::string wrongSize(const std::string& path, std::size_t got, std::size_t size) {
    return quoted(path) + " holds " +
           (got > size ? "more than " + std::to_string(size) : std::to_string(got)) +
           " bytes; a flash image holds exactly " + std::to_string(size);
}

}  // namespace q4m::sim::flash_file_text
