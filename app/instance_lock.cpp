#include "app/instance_lock.h"

#ifndef _WIN32  // Windows: app/win32/instance_lock_win32.cpp
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#endif

namespace q4m::app {

#ifndef _WIN32

NamedLock::~NamedLock() {
    release();
}

void NamedLock::release() {
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor drops the flock
    fd_ = -1;
}

NamedLock::Result NamedLock::acquire(const std::string& directory, std::string_view name) {
    release();
    if (directory.empty()) return Result::Failed;
    const std::string path = directory + "/" + lockFileName(name);
    // The files stay in place: removing one would let two holders lock
    // different files of the same name.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return Result::Failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? Result::AlreadyHeld : Result::Failed;
    }
    fd_ = fd;
    return Result::Acquired;
}

#endif

std::string lockFileName(std::string_view name) {
    static constexpr char Hex[] = "0123456789ABCDEF";
    std::string file;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '.' || byte == '-';
        if (plain) {
            file += c;
        } else {
            file += '%';
            file += Hex[byte >> 4];
            file += Hex[byte & 0xF];
        }
    }
    return file + ".lock";
}

#ifndef _WIN32

bool isUsableLockDirectory(const std::string& path) {
    if (path.empty()) return false;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string defaultLockDirectory() {
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/' && isUsableLockDirectory(runtime))
        return runtime;
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
    const std::string path = base + "/q4m-updater-" + std::to_string(::geteuid());
    // mkdir fails on an existing name; isUsableLockDirectory then decides
    // whether what is there can be trusted.
    ::mkdir(path.c_str(), 0700);
    return path;
}

#endif

}  // namespace q4m::app
