// The sleep inhibitor on Linux: logind's Inhibit("sleep:idle", ..., "block")
// over the system bus. logind holds the lock for as long as we keep the file
// descriptor it hands back open. Without a system bus or logind nothing
// happens and nothing is shown.
#pragma once

#include <QDBusUnixFileDescriptor>
#include <QObject>

#include "app/sleep_inhibitor.h"

namespace q4m::app::qt {

class LogindInhibitor : public QObject, public SleepInhibitor {
    Q_OBJECT
  public:
    LogindInhibitor() = default;
    ~LogindInhibitor() override;

    // The call is asynchronous, so a slow or absent logind never holds up
    // the window; a reply that comes after release() is closed at once.
    void acquire(std::string_view who, std::string_view why) override;
    void release() override;
    bool held() const { return lock_.isValid(); }

  private:
    bool wanted_ = false;
    unsigned generation_ = 0;  // tells a late reply from the current request's
    QDBusUnixFileDescriptor lock_;
};

}  // namespace q4m::app::qt
