// What the update engine shows: implemented by each front end, called on the worker thread.
#pragma once

#include <string_view>

#include "engine/strings.h"

namespace q4m::engine {

class UpdateView {
public:
    virtual ~UpdateView() = default;
    virtual void setStatusText(std::string_view text) = 0;
    virtual void setStepText(std::string_view text) = 0;
    virtual void setProgressRange(int low, int high) = 0;
    virtual void setProgressPos(int pos) = 0;
    // Modal error box with the text of id, caption "Error"; returns once closed.
    virtual void showError(StringId id) = 0;
    // Enables both port lists, Execute and Rescan Device, then clears the busy flag.
    virtual void endBusy() = 0;
    virtual void enableExecute(bool enable) = 0;
    // The device has accepted the begin request: from here on it is being rewritten.
    virtual void beginAccepted() {}
};

}  // namespace q4m::engine
