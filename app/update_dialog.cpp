#include "app/update_dialog.h"

#include <algorithm>
#include <string>

#include "app/about_dialog.h"
#include "app/port_choice.h"
#include "engine/strings.h"

namespace q4m::app {

using engine::StringId;

CQ2wUpdatorDlg::CQ2wUpdatorDlg(DialogWindow& window, midi::MidiService& midi,
                               midi::TimerService& timer, int instanceNumber,
                               const engine::Timings& timings)
    : window_(window),
      midi_(midi),
      instanceNumber_(instanceNumber),
      bridge_(window),
      session_(midi, timer, *this, timings) {}

CQ2wUpdatorDlg::~CQ2wUpdatorDlg() {
    onDestroy();
    session_.shutdown();
}

void CQ2wUpdatorDlg::doModal() {
    window_.runModal(*this);
}

void CQ2wUpdatorDlg::onInitDialog() {
    const std::string_view aboutText = engine::loadString(StringId::AboutItem);
    if (!aboutText.empty()) window_.addAboutItem(aboutText, AboutCommandId);
    window_.setProgramIcon();
    fillPortLists();
    showPortsHint();
    session_.startPolling();
    window_.setProgressRange(0, 100);
    window_.setCaption(engine::withInstanceSuffix(engine::ProgramTitle, instanceNumber_));
    window_.setAccessibleName(IdStatus, engine::loadString(StringId::StatusName));
    window_.setAccessibleName(IdStep, engine::loadString(StringId::StepName));
    window_.setAccessibleName(IdProgress, engine::loadString(StringId::ProgressName));
    // The service's thread only queues a refresh; one queued is enough for a burst.
    watching_ = midi_.watchPorts([this] {
        if (refreshQueued_.exchange(true)) return;
        bridge_.post([this] {
            refreshQueued_ = false;
            onPortsChanged();
        });
    });
}

void CQ2wUpdatorDlg::fillPortLists() {
    char name[midi::MidiOutPort::NameCapacity];
    window_.listClear(IdOutList);
    const int outs = session_.outPort().deviceCount();
    for (int i = 0; i < outs; ++i) {
        session_.outPort().deviceName(i, name);
        window_.listAppend(IdOutList, name);
    }
    window_.listClear(IdInList);
    const int ins = session_.inPort().deviceCount();
    for (int j = 0; j < ins; ++j) {
        session_.inPort().deviceName(j, name);
        window_.listAppend(IdInList, name);
    }
    preselect(IdOutList);
    preselect(IdInList);
}

// Reads the entries back from the list, as shown, so the choice always
// matches what the user sees.
void CQ2wUpdatorDlg::preselect(int listId) {
    std::vector<std::string> names;
    const int count = window_.listCount(listId);
    for (int i = 0; i < count; ++i) names.push_back(window_.listText(listId, i));
    const int chosen = preselectPort(names, instanceNumber_);
    if (chosen >= 0) window_.listSelect(listId, chosen);
}

std::vector<std::string> CQ2wUpdatorDlg::listItems(int listId) {
    std::vector<std::string> items;
    const int count = window_.listCount(listId);
    for (int i = 0; i < count; ++i) items.push_back(window_.listText(listId, i));
    return items;
}

void CQ2wUpdatorDlg::onPortsChanged() {
    if (destroyed_) return;
    // A refill during a run would change what the user sees under it; the
    // lists are brought up to date when it has ended (endBusy).
    if (busy_) {
        portsChanged_ = true;
        return;
    }
    portsChanged_ = false;
    const auto outsBefore = listItems(IdOutList);
    const auto insBefore = listItems(IdInList);
    const int outChosen = window_.listSelection(IdOutList);
    const int inChosen = window_.listSelection(IdInList);
    const std::string outChoice = outChosen >= 0 ? window_.listText(IdOutList, outChosen) : "";
    const std::string inChoice = inChosen >= 0 ? window_.listText(IdInList, inChosen) : "";
    fillPortLists();
    keepChoice(IdOutList, outsBefore, outChoice);
    keepChoice(IdInList, insBefore, inChoice);
    showPortsHint();
}

// fillPortLists has preselected the device. A device port that was not
// listed before has just been plugged in: that is what the user wants now.
// Otherwise the user's own choice stands while its port is still there.
void CQ2wUpdatorDlg::keepChoice(int listId, const std::vector<std::string>& before,
                                const std::string& choice) {
    const int device = window_.listSelection(listId);
    const bool deviceIsNew =
        device >= 0 &&
        std::find(before.begin(), before.end(), window_.listText(listId, device)) == before.end();
    if (deviceIsNew || choice.empty()) return;
    const int count = window_.listCount(listId);
    for (int i = 0; i < count; ++i) {
        if (window_.listText(listId, i) == choice) {
            window_.listSelect(listId, i);
            return;
        }
    }
}

// One short line when a list is empty, since Execute cannot work then. It
// only ever takes an empty status line, so a run's last word (such as
// "Version update completed." while the device restarts) stays readable.
void CQ2wUpdatorDlg::showPortsHint() {
    const bool none = window_.listCount(IdOutList) == 0 || window_.listCount(IdInList) == 0;
    if (none && statusText_.empty()) {
        setStatusLine(std::string(engine::loadString(StringId::NoDeviceFound)));
        hintShown_ = true;
    } else if (!none && hintShown_) {
        setStatusLine("");
    }
}

void CQ2wUpdatorDlg::setStatusLine(const std::string& text) {
    statusText_ = text;
    hintShown_ = false;
    window_.setControlText(IdStatus, text);
}

void CQ2wUpdatorDlg::onExecute() {
    // A run that has just ended may still be making its last view call; its
    // worker waits for this thread, so it must not be joined from here yet.
    if (busy_ || session_.workerRunning()) {
        showError(StringId::InProgress);
        return;
    }
    // No selection passes -1 on; every backend refuses that index, so the
    // open fails with its usual message.
    switch (session_.openPorts(window_.listSelection(IdOutList), window_.listSelection(IdInList))) {
        case UpdaterSession::OpenResult::OutputFailed:
            showError(StringId::CantOpenMidiOut);
            return;
        case UpdaterSession::OpenResult::InputFailed:
            showError(StringId::CantOpenMidiIn);
            return;
        case UpdaterSession::OpenResult::Ok:
            break;
    }
    // Disabling the focused control makes a toolkit pass the focus on, and
    // next in the tab order is Exit: a second Enter or Space would close the
    // window mid-run. The read-only status line takes it instead, and Enter or
    // Space there come back here as "In Progress.".
    const int focused = window_.focusedControl();
    if (focused == IdExecute || focused == IdInList || focused == IdOutList || focused == IdRescan)
        window_.focusControl(IdStatus);
    enableControls(false);
    busy_ = 1;
    rewriting_ = false;
    if (hintShown_) setStatusLine("");
    if (inhibitor_) {
        inhibitor_->acquire(engine::ProgramTitle, engine::loadString(StringId::SleepInhibitReason));
        inhibiting_ = true;
    }
    if (!session_.startWorker()) {
        // Otherwise the window would stay Running with no run behind it.
        showError(StringId::TransferError);
        endBusy();
    }
}

void CQ2wUpdatorDlg::onRescan() {
    fillPortLists();
    showPortsHint();
    enableExecute(true);
}

bool CQ2wUpdatorDlg::onDialogKey(DialogKey key) {
    // Enter is the dialog's Execute command wherever the focus is (a focused
    // button takes its own Enter). Space means Execute only during a run, on
    // the field that took the focus from the disabled Execute button.
    if (key == DialogKey::Enter || (busy_ && window_.focusedControl() == IdStatus)) {
        onExecute();
        return true;
    }
    return false;
}

// Before the device has accepted the begin request nothing on it has
// changed, and after the run there is nothing left to stop: those closes go
// through at once. In between a close would leave the device half rewritten,
// so the user is asked first, with No as the safe default.
bool CQ2wUpdatorDlg::onCloseRequest() {
    if (asking_) return false;  // a second close while the question is open
    if (!busy_ || !rewriting_) return true;
    asking_ = true;
    const bool stop = window_.askYesNo(engine::loadString(StringId::StopQuestion),
                                       engine::loadString(StringId::StopCaption));
    asking_ = false;
    return stop;
}

void CQ2wUpdatorDlg::onSysCommand(unsigned id, long param) {
    if ((id & 0xFFF0) == AboutCommandId) {
        CAboutDlg about;
        window_.runAboutBox(about);
    } else {
        window_.defaultSysCommand(id, param);
    }
}

void CQ2wUpdatorDlg::onDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    // Returns once the service's thread is out of our callback.
    if (watching_) midi_.watchPorts({});
    watching_ = false;
    // Output closed, input stopped, the run cancelled (sticky 255 + signal).
    session_.cancel();
    // A worker waiting for a view call is released now; later calls are dropped.
    bridge_.close();
    releaseInhibitor();
}

void CQ2wUpdatorDlg::releaseInhibitor() {
    if (inhibiting_) inhibitor_->release();
    inhibiting_ = false;
}

void CQ2wUpdatorDlg::enableControls(bool enable) {
    window_.enableControl(IdInList, enable);
    window_.enableControl(IdOutList, enable);
    window_.enableControl(IdExecute, enable);
    window_.enableControl(IdRescan, enable);
}

void CQ2wUpdatorDlg::setStatusText(std::string_view text) {
    bridge_.call([this, t = std::string(text)] { setStatusLine(t); });
}

void CQ2wUpdatorDlg::setStepText(std::string_view text) {
    bridge_.call([this, t = std::string(text)] { window_.setControlText(IdStep, t); });
}

void CQ2wUpdatorDlg::setProgressRange(int low, int high) {
    bridge_.call([this, low, high] { window_.setProgressRange(low, high); });
}

void CQ2wUpdatorDlg::setProgressPos(int pos) {
    bridge_.call([this, pos] { window_.setProgressPos(pos); });
}

void CQ2wUpdatorDlg::showError(StringId id) {
    bridge_.call([this, id] {
        window_.messageBox(engine::loadString(id), engine::loadString(StringId::ErrorCaption),
                           MessageIcon::Stop);
    });
}

void CQ2wUpdatorDlg::endBusy() {
    bridge_.call([this] {
        enableControls(true);
        busy_ = 0;
        runEnded();
    });
}

void CQ2wUpdatorDlg::runEnded() {
    rewriting_ = false;
    releaseInhibitor();
    if (portsChanged_) onPortsChanged();
}

void CQ2wUpdatorDlg::beginAccepted() {
    bridge_.call([this] { rewriting_ = true; });
}

void CQ2wUpdatorDlg::enableExecute(bool enable) {
    bridge_.call([this, enable] { window_.enableControl(IdExecute, enable); });
}

}  // namespace q4m::app
