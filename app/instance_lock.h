// Named locks that mark a running copy's instance number: created atomically,
// telling their creator whether the name was already held, and freed by the
// kernel when the holder's process ends, however it ends. On Linux: flock on a
// file per name in a directory private to the user. On Windows: the named
// mutex itself (app/win32/instance_lock_win32.cpp); there the "directory" only
// scopes the names, and the product's is empty, so a mutex's name is exactly
// the caption of the instance that holds it.
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
#ifdef _WIN32
    bool held() const {
        return mutex_ != nullptr;
    }

  private:
    void* mutex_ = nullptr;  // HANDLE
#else
    bool held() const {
        return fd_ >= 0;
    }

  private:
    int fd_ = -1;
#endif
};

// The file name for a lock name: letters, digits, '.', '-' kept, every other
// byte as %XX, so distinct names never share a file.
std::string lockFileName(std::string_view name);

// True for a real directory (not a symlink) owned by this user that nobody
// else can write to: only there can a lock be trusted.
bool isUsableLockDirectory(const std::string& path);

// $XDG_RUNTIME_DIR when it is usable; otherwise <tmp>/q4m-updater-<uid>,
// created 0700 if missing. The fallback is returned even when it turns out
// unusable, so that start-up can name it in its message.
std::string defaultLockDirectory();

}  // namespace q4m::app
