// Named locks that mark a running copy's instance number: created atomically,
// telling their creator whether the name was already held, and freed by the
// kernel when the holder's process ends, however it ends. On Linux: flock on a
// file per name in a directory private to the user.
#pragma once

#include <string>
#include <string_view>

namespace q4m::app {

class NamedLock {
  public:
    enum class Result { Acquired, AlreadyHeld, Failed };

    NamedLock() = default;
    ~NamedLock();  // releases (only needed in tests: the process exit frees it too)
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

    // Takes the lock called name in directory. Holding a lock already, the
    // object releases it first.
    Result acquire(const std::string& directory, std::string_view name);
    void release();
    bool held() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// The file name for a lock name: letters, digits, '.', '-' kept, every other
// byte as %XX, so distinct names never share a file.
std::string lockFileName(std::string_view name);

// $XDG_RUNTIME_DIR when it names a directory; otherwise <tmp>/q4m-updater-<uid>,
// created 0700 if missing and used only if it is a real directory (not a
// symlink) owned by this user. Empty when no such directory is available.
std::string defaultLockDirectory();

}  // namespace q4m::app
