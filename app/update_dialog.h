// The updater's one window, toolkit-free: port lists and preselection, the
// busy state, Execute and Rescan, the view the engine reports through, and
// the shutdown on close. A DialogWindow (Qt, Win32, or a test's fake) does
// the drawing and calls the handlers.
#pragma once

#include <string_view>

#include "app/dialog_window.h"
#include "app/ui_bridge.h"
#include "app/updater_session.h"
#include "engine/timings.h"
#include "engine/update_view.h"
#include "midi/platform.h"

namespace q4m::app {

class CQ2wUpdatorDlg : public engine::UpdateView, public DialogEvents {
  public:
    CQ2wUpdatorDlg(DialogWindow& window, midi::MidiService& midi, midi::TimerService& timer,
                   int instanceNumber, const engine::Timings& timings = engine::DefaultTimings);
    // Joins a worker that is still ending: nothing it uses goes away before it.
    ~CQ2wUpdatorDlg() override;
    CQ2wUpdatorDlg(const CQ2wUpdatorDlg&) = delete;
    CQ2wUpdatorDlg& operator=(const CQ2wUpdatorDlg&) = delete;

    // Runs the window modally; returns once it has closed and the run has stopped.
    void doModal();

    // DialogEvents (UI thread)
    void onInitDialog() override;
    void onExecute() override;
    void onRescan() override;
    void onSysCommand(unsigned id, long param) override;
    void onDestroy() override;

    void fillPortLists();

    // UpdateView: callable from any thread; each takes effect on the UI thread
    // before it returns, and does nothing once the window is gone.
    void setStatusText(std::string_view text) override;
    void setStepText(std::string_view text) override;
    void setProgressRange(int low, int high) override;
    void setProgressPos(int pos) override;
    void showError(engine::StringId id) override;
    void endBusy() override;
    void enableExecute(bool enable) override;

    int busy() const { return busy_; }  // UI thread
    int instanceNumber() const { return instanceNumber_; }
    UpdaterSession& session() { return session_; }

  private:
    void preselect(int listId);
    void enableControls(bool enable);

    DialogWindow& window_;
    const int instanceNumber_;
    // Only the UI thread touches busy_: the worker reaches endBusy through the bridge.
    int busy_ = 0;
    bool destroyed_ = false;
    UiCallBridge bridge_;
    // Declared last: destroyed first, so its join runs while the bridge and
    // the window the worker might still reach are whole.
    UpdaterSession session_;
};

}  // namespace q4m::app
