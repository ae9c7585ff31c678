// The state one updater shares between its threads: command set (SendBuffer,
// ActiveIdentity), ReplySlot, ReadBackBuffer and the time limits. Owned by the
// front end that implements EngineHost; the dispatcher and the worker get it
// by reference.
#pragma once

#include "engine/commands.h"
#include "engine/fences.h"
#include "engine/host.h"
#include "engine/read_back_buffer.h"
#include "engine/reply_slot.h"
#include "engine/timings.h"

namespace q4m::engine {

// Forwards UpdateView calls only while the run is not cancelled, so that a
// worker that wakes after the window closed never touches it.
class GatedView : public UpdateView {
  public:
    GatedView(UpdateView& target, const ReplySlot& reply) : target_(target), reply_(reply) {}
    void setStatusText(std::string_view text) override;
    void setStepText(std::string_view text) override;
    void setProgressRange(int low, int high) override;
    void setProgressPos(int pos) override;
    void showError(StringId id) override;
    void endBusy() override;
    void enableExecute(bool enable) override;
    void beginAccepted() override;

  private:
    bool open() const { return !reply_.cancelled(); }
    UpdateView& target_;
    const ReplySlot& reply_;
};

class Engine {
  public:
    explicit Engine(EngineHost& host, const Timings& timings = DefaultTimings)
        : host(host), timings(timings), commands(host), view_(host.view(), reply) {}
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // The view as the worker must use it: silent after a cancel.
    UpdateView& view() { return view_; }

    EngineHost& host;
    const Timings timings;
    CommandSet commands;
    ReplySlot reply;
    ReadBackBuffer readBack;
    // Worker thread only. Kept from run to run: a fence whose reply is still
    // on its way from an earlier run stays known.
    FenceLog fences;

  private:
    GatedView view_;
};

}  // namespace q4m::engine
