#include "engine/engine.h"

namespace q4m::engine {

void GatedView::setStatusText(std::string_view text) {
    if (open()) target_.setStatusText(text);
}
void GatedView::setStepText(std::string_view text) {
    if (open()) target_.setStepText(text);
}
void GatedView::setProgressRange(int low, int high) {
    if (open()) target_.setProgressRange(low, high);
}
void GatedView::setProgressPos(int pos) {
    if (open()) target_.setProgressPos(pos);
}
void GatedView::showError(StringId id) {
    if (open()) target_.showError(id);
}
void GatedView::endBusy() {
    if (open()) target_.endBusy();
}
void GatedView::enableExecute(bool enable) {
    if (open()) target_.enableExecute(enable);
}

void GatedView::beginAccepted() {
    if (open()) target_.beginAccepted();
}

}  // namespace q4m::engine
