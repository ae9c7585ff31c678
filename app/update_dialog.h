// The updater's one window, toolkit-free: port lists and preselection, the
// busy state, Execute and Rescan, the view the engine reports through, and
// the shutdown on close. A DialogWindow (Qt, Win32, or a test's fake) does
// the drawing and calls the handlers.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "app/dialog_window.h"
#include "app/sleep_inhibitor.h"
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
    // Held for each run from Execute to its end; none by default. Set before
    // doModal; it must outlive the dialog.
    void setSleepInhibitor(SleepInhibitor* inhibitor) { inhibitor_ = inhibitor; }

    // DialogEvents (UI thread)
    void onInitDialog() override;
    void onExecute() override;
    void onRescan() override;
    void onSysCommand(unsigned id, long param) override;
    void onDestroy() override;
    bool onDialogKey(DialogKey key) override;
    bool onCloseRequest() override;

    void fillPortLists();
    // What a port appearing or going away does while idle: the lists refilled,
    // the user's choice kept where it still exists, the device preselected
    // where it is new. UI thread.
    void onPortsChanged();

    // UpdateView: callable from any thread; each takes effect on the UI thread
    // before it returns, and does nothing once the window is gone.
    void setStatusText(std::string_view text) override;
    void setStepText(std::string_view text) override;
    void setProgressRange(int low, int high) override;
    void setProgressPos(int pos) override;
    void showError(engine::StringId id) override;
    void endBusy() override;
    void enableExecute(bool enable) override;
    void beginAccepted() override;

    int busy() const { return busy_; }  // UI thread
    int instanceNumber() const { return instanceNumber_; }
    UpdaterSession& session() { return session_; }

  private:
    void preselect(int listId);
    void enableControls(bool enable);
    void keepChoice(int listId, const std::vector<std::string>& before, const std::string& choice);
    std::vector<std::string> listItems(int listId);
    void showPortsHint();
    void setStatusLine(const std::string& text);
    void runEnded();
    void releaseInhibitor();

    DialogWindow& window_;
    midi::MidiService& midi_;
    const int instanceNumber_;
    SleepInhibitor* inhibitor_ = nullptr;
    // Only the UI thread touches these: the worker reaches them through the bridge.
    int busy_ = 0;
    bool destroyed_ = false;
    bool rewriting_ = false;     // the device accepted the begin request of this run
    bool asking_ = false;        // the stop question is open
    bool portsChanged_ = false;  // ports changed during a run: refresh when it ends
    bool hintShown_ = false;
    bool inhibiting_ = false;  // acquired for the current run, not yet released
    std::string statusText_;
    bool watching_ = false;
    // Set by the service's thread when it has posted a refresh not yet run.
    std::atomic<bool> refreshQueued_{false};
    UiCallBridge bridge_;
    // Declared last: destroyed first, so its join runs while the bridge and
    // the window the worker might still reach are whole.
    UpdaterSession session_;
};

}  // namespace q4m::app
