// Start-up: claims the lowest free instance number from 1 to MaxInstances and
// runs the main window under it; a copy beyond the limit refuses to start.
#pragma once

#include <string>
#include <string_view>

#include "app/instance_lock.h"

namespace q4m::app {

// What start-up needs from the toolkit.
class AppPlatform {
  public:
    virtual ~AppPlatform() = default;
    // The application's own box: caption = the program's file name, OK, warning icon.
    virtual void appMessageBox(std::string_view text) = 0;
    // Builds the main window for this instance and runs it modally.
    virtual void runMainDialog(int instanceNumber) = 0;
};

class CQ2wUpdatorApp {
  public:
    static constexpr int MaxInstances = 20;

    // lockDirectory: where the instance locks live; defaultLockDirectory() in
    // the product, a private directory in tests.
    explicit CQ2wUpdatorApp(AppPlatform& platform, std::string lockDirectory);

    // All the program's work happens in here; always false (there is no
    // message loop of the application's own to enter afterwards).
    bool initInstance();
    int instanceNumber() const { return instanceNumber_; }

  private:
    AppPlatform& platform_;
    const std::string lockDirectory_;
    // Held until the process ends: the kernel frees it then.
    NamedLock instanceMutex_;
    int instanceNumber_ = 0;
};

}  // namespace q4m::app
