#include "app/updater_app.h"

#include "engine/strings.h"

namespace q4m::app {

CQ2wUpdatorApp::CQ2wUpdatorApp(AppPlatform& platform, std::string lockDirectory)
    : platform_(platform), lockDirectory_(std::move(lockDirectory)) {}

bool CQ2wUpdatorApp::initInstance() {
    for (int n = 1; n <= MaxInstances; ++n) {
        // A lock that cannot be made under a name counts as a taken number.
        const auto name = engine::withInstanceSuffix(engine::ProgramTitle, n);
        if (instanceMutex_.acquire(lockDirectory_, name) == NamedLock::Result::Acquired) {
            instanceNumber_ = n;
            break;
        }
    }
    if (instanceNumber_ == 0) {
        platform_.appMessageBox(engine::instanceLimitText(MaxInstances));
        return false;
    }
    platform_.runMainDialog(instanceNumber_);
    return false;
}

}  // namespace q4m::app
