// The instance guard's lock on Windows: a named mutex, created owned. The name
// existing already means another running copy holds that number; the system
// frees the name when the last handle goes, at the latest when the holder's
// process ends.
#include <windows.h>

#include "app/instance_lock.h"

namespace q4m::app {

NamedLock::~NamedLock() {
    release();
}

void NamedLock::release() {
    if (mutex_) CloseHandle(static_cast<HANDLE>(mutex_));
    mutex_ = nullptr;
}

NamedLock::Result NamedLock::acquire(const std::string& directory, std::string_view name) {
    release();
    // Backslashes would name a kernel namespace; a scope keeps none.
    std::string full;
    for (const char c : directory) full += c == '\\' ? '/' : c;
    if (!full.empty()) full += '|';
    full += name;
    HANDLE mutex = CreateMutexA(nullptr, TRUE, full.c_str());
    const DWORD error = GetLastError();
    if (!mutex) return Result::Failed;
    if (error == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);  // so the name goes with its holder
        return Result::AlreadyHeld;
    }
    mutex_ = mutex;
    return Result::Acquired;
}

// Mutex names need no directory: every scope, the product's empty one
// among them, is usable.
bool isUsableLockDirectory(const std::string&) {
    return true;
}

std::string defaultLockDirectory() {
    return {};
}

}  // namespace q4m::app
