#include "app/update_dialog.h"

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
    session_.startPolling();
    window_.setProgressRange(0, 100);
    window_.setCaption(engine::withInstanceSuffix(engine::ProgramTitle, instanceNumber_));
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
    enableControls(false);
    busy_ = 1;
    if (!session_.startWorker()) {
        // Otherwise the window would stay Running with no run behind it.
        showError(StringId::TransferError);
        endBusy();
    }
}

void CQ2wUpdatorDlg::onRescan() {
    fillPortLists();
    enableExecute(true);
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
    // Output closed, input stopped, the run cancelled (sticky 255 + signal).
    session_.cancel();
    // A worker waiting for a view call is released now; later calls are dropped.
    bridge_.close();
}

void CQ2wUpdatorDlg::enableControls(bool enable) {
    window_.enableControl(IdInList, enable);
    window_.enableControl(IdOutList, enable);
    window_.enableControl(IdExecute, enable);
    window_.enableControl(IdRescan, enable);
}

void CQ2wUpdatorDlg::setStatusText(std::string_view text) {
    bridge_.call([this, t = std::string(text)] { window_.setControlText(IdStatus, t); });
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
    });
}

void CQ2wUpdatorDlg::enableExecute(bool enable) {
    bridge_.call([this, enable] { window_.enableControl(IdExecute, enable); });
}

}  // namespace q4m::app
