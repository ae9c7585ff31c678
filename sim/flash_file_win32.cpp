// Flash files on Windows: the same contract as flash_file.cpp. Reading goes
// through the standard library; saving through Win32, which alone can flush
// the new file to the disk and rename it over the old one with the rename
// itself written through.
#include <windows.h>

#include <algorithm>
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

std::string lastError() {
    return std::system_category().message(static_cast<int>(GetLastError()));
}

// A new, empty file with a name of its own beside path (several programs may
// save to the same path at once), or an empty path.
fs::path makeTemporary(const fs::path& path) {
    fs::path folder = path.parent_path();
    if (folder.empty()) folder = ".";
    wchar_t name[MAX_PATH];
    if (GetTempFileNameW(folder.c_str(), L"q4m", 0, name) == 0) return {};
    return fs::path(name);
}

bool writeAll(HANDLE file, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, data.data(), chunk, &written, nullptr) || written == 0) return false;
        data = data.subspan(written);
    }
    return true;
}

}  // namespace

bool readExactFile(const std::string& path, std::size_t size, std::vector<std::uint8_t>& out,
                   std::string* error) {
    if (path.empty()) return fail(error, "no file name given");
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) return fail(error, "cannot open " + quoted(path) + ": no such file");
    if (!fs::is_regular_file(status)) return fail(error, quoted(path) + " is not a regular file");
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
    const fs::path target(path);
    const fs::path temporary = makeTemporary(target);
    if (temporary.empty())
        return fail(error, "cannot write beside " + quoted(path) + ": " + lastError());
    const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = file != INVALID_HANDLE_VALUE && writeAll(file, data) && FlushFileBuffers(file);
    std::string text =
        ok ? std::string() : "cannot write " + quoted(temporary.string()) + ": " + lastError();
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (ok && beforeRename && !beforeRename()) {
        ok = false;
        text = "save of " + quoted(path) + " abandoned";
    }
    if (ok && !MoveFileExW(temporary.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        ok = false;
        text = "cannot replace " + quoted(path) + ": " + lastError();
    }
    if (!ok) {
        DeleteFileW(temporary.c_str());
        return fail(error, text);
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
    const fs::path probe = makeTemporary(fs::path(path));
    if (probe.empty()) return "cannot write beside " + quoted(path);
    DeleteFileW(probe.c_str());
    return {};
}

}  // namespace q4m::sim
