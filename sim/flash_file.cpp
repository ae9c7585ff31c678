#include "sim/flash_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/flash_file_text.h"

namespace q4m::sim {

namespace {

using flash_file_text::quoted;

std::string reason(const std::string& what, const std::string& path) {
    return what + " " + quoted(path) + ": " + std::strerror(errno);
}

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A new, empty file beside path: its descriptor and name, or -1.
int makeTemporary(const std::string& path, std::string& name) {
    const auto slash = path.rfind('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    name = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "." + base +
           ".XXXXXX";
    return ::mkostemp(name.data(), O_CLOEXEC);
}

bool writeAll(int fd, std::span<const std::uint8_t> data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool readExactFile(const std::string& path, std::size_t size, std::vector<std::uint8_t>& out,
                   std::string* error) {
    if (path.empty()) return fail(error, "no file name given");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(error, reason("cannot open", path));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail(error, quoted(path) + " is not a regular file");
    }
    std::vector<std::uint8_t> data(size + 1);
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::read(fd, data.data() + got, data.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const std::string text = reason("cannot read", path);
            ::close(fd);
            return fail(error, text);
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (got != size) return fail(error, flash_file_text::wrongSize(path, got, size));
    data.resize(size);
    out = std::move(data);
    return true;
}

bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> data,
                         std::string* error, const std::function<bool()>& beforeRename) {
    if (path.empty()) return fail(error, "no file name given");
    std::string temporary;
    const int fd = makeTemporary(path, temporary);
    if (fd < 0) return fail(error, reason("cannot write beside", path));
    // The file keeps the mode it had; a new one gets 0644 (reading the umask
    // would mean changing it, process-wide, for a moment).
    struct stat old {};
    const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    bool ok = ::fchmod(fd, mode) == 0 && writeAll(fd, data) && ::fsync(fd) == 0;
    std::string text = ok ? std::string() : reason("cannot write", temporary);
    if (::close(fd) != 0 && ok) {
        ok = false;
        text = reason("cannot write", temporary);
    }
    if (ok && beforeRename && !beforeRename()) {
        ok = false;
        text = "save of " + quoted(path) + " abandoned";
    }
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        text = reason("cannot replace", path);
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return fail(error, text);
    }
    // The rename itself reaches the disk with the folder's entry.
    const int dir = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::string checkReplaceable(const std::string& path) {
    if (path.empty()) return "no file name given";
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return quoted(path) + " is a directory";
        // Renaming over a device or a FIFO would replace the node itself.
        if (!S_ISREG(info.st_mode)) return quoted(path) + " is not a regular file";
        if (::access(path.c_str(), W_OK) != 0) return reason("cannot write", path);
    }
    std::string temporary;
    const int fd = makeTemporary(path, temporary);
    if (fd < 0) return reason("cannot write beside", path);
    ::close(fd);
    ::unlink(temporary.c_str());
    return {};
}

}  // namespace q4m::sim
