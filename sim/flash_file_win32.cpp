// Flash files on Windows: the same contract as flash_file.cpp with the
// standard library's files (no POSIX descriptors there). The temporary file
// is written beside the target and renamed over it.
#include <filesystem>
#include <fstream>
#include <system_error>

#include "sim/flash_file.h"
#include "sim/flash_file_text.h"

namespace q4m::sim {

namespace {

namespace fs = std::filesystem;

using flash_file_text::quoted;

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

std::string temporaryBeside(const std::string& path) {
    const fs::path p(path);
    return (p.parent_path() / ("." + p.filename().string() + ".tmp")).string();
}

}  // namespace

bool readExactFile(const std::string& path, std::size_t size, std::vector<std::uint8_t>& out,
                   std::string* error) {
    if (path.empty()) return fail(error, "no file name given");
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return fail(error, quoted(path) + " is not a regular file");
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(error, "cannot open " + quoted(path));
    std::vector<std::uint8_t> data(size + 1);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got != size) return fail(error, flash_file_text::wrongSize(path, got, size));
    data.resize(size);
    out = std::move(data);
    return true;
}

bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> data,
                         std::string* error, const std::function<bool()>& beforeRename) {
    if (path.empty()) return fail(error, "no file name given");
    const std::string temporary = temporaryBeside(path);
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
        out.flush();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return fail(error, "cannot write " + quoted(temporary));
        }
    }
    std::error_code ec;
    if (beforeRename && !beforeRename()) {
        fs::remove(temporary, ec);
        return fail(error, "save of " + quoted(path) + " abandoned");
    }
    fs::rename(temporary, path, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return fail(error, "cannot replace " + quoted(path) + ": " + ec.message());
    }
    return true;
}

std::string checkReplaceable(const std::string& path) {
    if (path.empty()) return "no file name given";
    std::error_code ec;
    if (fs::exists(path, ec)) {
        if (fs::is_directory(path, ec)) return quoted(path) + " is a directory";
        if (!fs::is_regular_file(path, ec)) return quoted(path) + " is not a regular file";
    }
    const std::string temporary = temporaryBeside(path);
    {
        std::ofstream probe(temporary, std::ios::binary);
        if (!probe) return "cannot write beside " + quoted(path);
    }
    fs::remove(temporary, ec);
    return {};
}

}  // namespace q4m::sim
