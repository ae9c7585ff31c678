// Keeps the machine from sleeping while a run rewrites the device: a sleep
// that cut a run short would leave the device needing the update again.
#pragma once

#include <string_view>

namespace q4m::app {

class SleepInhibitor {
  public:
    virtual ~SleepInhibitor() = default;
    // Asks the system not to sleep until release(). Where the system offers no
    // such service this does nothing and says nothing. UI thread.
    virtual void acquire(std::string_view who, std::string_view why) = 0;
    // Ends the hold; harmless when none is held. UI thread.
    virtual void release() = 0;
};

}  // namespace q4m::app
