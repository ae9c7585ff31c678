// The engine's view drawn on a terminal: step counter, status line and a
// progress bar. On a TTY one line is redrawn in place; otherwise plain lines
// are printed when something worth a line happens (a new step, a new kind of
// status, each quarter of a step's progress), never one per block.
// Error boxes become a message on the error stream. Records the outcome.
#pragma once

#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "engine/update_view.h"

namespace q4m::cli {

struct RunOutcome {
    bool completed = false;                 // "Version update completed." then Execute disabled
    std::optional<engine::StringId> error;  // the last error shown
};

class TerminalView : public engine::UpdateView {
  public:
    TerminalView(std::FILE* out, std::FILE* err, bool tty) : out_(out), err_(err), tty_(tty) {}

    void setStatusText(std::string_view text) override;
    void setStepText(std::string_view text) override;
    void setProgressRange(int low, int high) override;
    void setProgressPos(int pos) override;
    void showError(engine::StringId id) override;
    void endBusy() override {}
    void enableExecute(bool enable) override;

    // Ends a line left open by in-place drawing, before others write.
    void finish();
    RunOutcome outcome() const;

  private:
    int percent() const;
    std::string render() const;
    void drawInPlace();
    void printLine();

    std::FILE* const out_;
    std::FILE* const err_;
    const bool tty_;
    mutable std::mutex mutex_;
    std::string step_;
    std::string status_;
    std::string statusShape_;  // the status with its digits removed
    int low_ = 0;
    int high_ = 100;
    int pos_ = 0;
    bool rangeFresh_ = false;  // no position set since the last range
    int quarter_ = 0;          // quarters of the current range already reported
    bool lineOpen_ = false;
    std::string drawn_;
    RunOutcome outcome_;
};

}  // namespace q4m::cli
