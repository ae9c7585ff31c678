#include "tools/cli/terminal_view.h"

#include <algorithm>

#include "engine/strings.h"

namespace q4m::cli {

namespace {

constexpr int BarWidth = 30;

std::string withoutDigits(std::string_view text) {
    std::string shape;
    for (char c : text)
        if (c < '0' || c > '9') shape += c;
    return shape;
}

}  // namespace

int TerminalView::percent() const {
    const long long span = static_cast<long long>(high_) - low_;
    if (span <= 0) return 0;
    const long long done = std::clamp<long long>(static_cast<long long>(pos_) - low_, 0, span);
    return static_cast<int>(done * 100 / span);
}

std::string TerminalView::render() const {
    const int pct = percent();
    const int filled = pct * BarWidth / 100;
    std::string line = step_.empty() ? std::string("   ") : step_;
    line += " [" + std::string(static_cast<std::size_t>(filled), '#') +
            std::string(static_cast<std::size_t>(BarWidth - filled), '.') + "] ";
    const std::string pctText = std::to_string(pct);
    line += std::string(3 - std::min<std::size_t>(3, pctText.size()), ' ') + pctText + "% ";
    line += status_;
    return line;
}

void TerminalView::drawInPlace() {
    const std::string line = render();
    if (line == drawn_ && lineOpen_) return;
    drawn_ = line;
    std::fprintf(out_, "\r%s\x1b[K", line.c_str());
    std::fflush(out_);
    lineOpen_ = true;
}

void TerminalView::printLine() {
    std::string line = step_.empty() ? std::string() : step_ + " ";
    line += status_;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    // Right after a new range the position still belongs to the previous one.
    if (rangeFresh_)
        std::fprintf(out_, "%s\n", line.c_str());
    else
        std::fprintf(out_, "%s (%d%%)\n", line.c_str(), percent());
    std::fflush(out_);
}

void TerminalView::setStatusText(std::string_view text) {
    std::lock_guard lock(mutex_);
    status_ = text;
    if (tty_) return drawInPlace();
    // Per-block status texts differ only in their numbers: one line per kind.
    auto shape = withoutDigits(text);
    if (shape == statusShape_) return;
    statusShape_ = std::move(shape);
    if (!text.empty()) printLine();
}

void TerminalView::setStepText(std::string_view text) {
    std::lock_guard lock(mutex_);
    step_ = text;
    if (tty_) return drawInPlace();
    // A new step starts a new round of status kinds.
    statusShape_.clear();
}

void TerminalView::setProgressRange(int low, int high) {
    std::lock_guard lock(mutex_);
    low_ = low;
    high_ = high;
    quarter_ = 0;
    rangeFresh_ = true;
    if (tty_) drawInPlace();
}

void TerminalView::setProgressPos(int pos) {
    std::lock_guard lock(mutex_);
    pos_ = pos;
    rangeFresh_ = false;
    if (tty_) return drawInPlace();
    const int quarter = percent() / 25;
    if (quarter > quarter_) {
        quarter_ = quarter;
        printLine();
    }
}

void TerminalView::showError(engine::StringId id) {
    std::lock_guard lock(mutex_);
    outcome_.error = id;
    if (lineOpen_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        lineOpen_ = false;
    }
    std::fprintf(err_, "%s: %s\n",
                 std::string(engine::loadString(engine::StringId::ErrorCaption)).c_str(),
                 std::string(engine::loadString(id)).c_str());
    std::fflush(err_);
}

void TerminalView::enableExecute(bool enable) {
    std::lock_guard lock(mutex_);
    // The engine ends a successful run with the completion text and Execute
    // disabled; no other path disables Execute.
    if (!enable && status_ == engine::loadString(engine::StringId::UpdateCompleted))
        outcome_.completed = true;
}

void TerminalView::finish() {
    std::lock_guard lock(mutex_);
    if (!lineOpen_) return;
    std::fputc('\n', out_);
    std::fflush(out_);
    lineOpen_ = false;
}

RunOutcome TerminalView::outcome() const {
    std::lock_guard lock(mutex_);
    return outcome_;
}

}  // namespace q4m::cli
