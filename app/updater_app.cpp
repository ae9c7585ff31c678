#include "app/updater_app.h"

#include "engine/strings.h"

namespace q4m::app {

CQ2wUpdatorApp::CQ2wUpdatorApp(AppPlatform& platform, std::string lockDirectory)
    : platform_(platform), lockDirectory_(std::move(lockDirectory)) {}

bool CQ2wUpdatorApp::initInstance() {
    // Without a trustworthy directory no lock means anything; saying so beats
    // the instance-limit message, which would send the user looking for
    // twenty running copies.
    if (!isUsableLockDirectory(lockDirectory_)) {
        platform_.appMessageBox(engine::lockDirectoryText(lockDirectory_));
        return false;
    }
    bool anyHeld = false;
    for (int n = 1; n <= MaxInstances; ++n) {
        // A lock that cannot be made under a name counts as a taken number.
        const auto name = engine::withInstanceSuffix(engine::ProgramTitle, n);
        const auto result = instanceMutex_.acquire(lockDirectory_, name);
        if (result == NamedLock::Result::Acquired) {
            instanceNumber_ = n;
            break;
        }
        anyHeld = anyHeld || result == NamedLock::Result::AlreadyHeld;
    }
    if (instanceNumber_ == 0) {
        // Not one lock could even be made (a read-only directory, say): that
        // is the directory's fault, not a count of copies.
        platform_.appMessageBox(anyHeld ? engine::instanceLimitText(MaxInstances)
                                        : engine::lockDirectoryText(lockDirectory_));
        return false;
    }
    platform_.runMainDialog(instanceNumber_);
    return false;
}

}  // namespace q4m::app
