// A DialogWindow that records what the logic does to it. The thread that
// builds it is its UI thread: posted calls run only when the test pumps, and
// message boxes are answered at once.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/about_dialog.h"
#include "app/dialog_window.h"

namespace q4m::app::test {

using namespace std::chrono_literals;

class FakeWindow : public DialogWindow, public AboutWindow {
  public:
    struct List {
        std::vector<std::string> items;
        int selection = -1;
    };
    struct Box {
        std::string text;
        std::string caption;
        MessageIcon icon;
    };

    std::map<int, List> lists;
    std::map<int, bool> enabled{
        {IdInList, true}, {IdOutList, true}, {IdExecute, true}, {IdRescan, true}, {IdExit, true}};
    std::map<int, std::string> texts;
    int progressLow = 0, progressHigh = 100, progressPos = 0;
    std::string caption;
    std::vector<Box> boxes;
    std::vector<std::string> aboutItems;
    int aboutRuns = 0;
    std::string aboutTitle;
    std::vector<unsigned> defaultCommands;
    // Any operation that arrives off the UI thread: the bridge failed.
    std::atomic<int> offThreadCalls{0};
    // Called inside messageBox, while the "box" is open.
    std::function<void()> whileBoxOpen;
    // Questions asked, and the answer the "user" gives (called while it is open).
    std::vector<Box> questions;
    std::function<bool()> answer = [] { return false; };
    int focus = IdExecute;
    std::map<int, std::string> accessibleNames;

    void runModal(DialogEvents& events) override {
        events.onInitDialog();
        events.onDestroy();
    }
    void listClear(int id) override {
        ui();
        lists[id] = {};
    }
    void listAppend(int id, std::string_view text) override {
        ui();
        lists[id].items.emplace_back(text);
    }
    int listCount(int id) override {
        ui();
        return static_cast<int>(lists[id].items.size());
    }
    std::string listText(int id, int index) override {
        ui();
        return lists[id].items.at(index);
    }
    int listSelection(int id) override {
        ui();
        return lists[id].selection;
    }
    void listSelect(int id, int index) override {
        ui();
        lists[id].selection = index;
    }
    // As a toolkit does: disabling the focused control passes the focus to
    // the next enabled tab stop.
    void enableControl(int id, bool enable) override {
        ui();
        enabled[id] = enable;
        if (enable || focus != id) return;
        static constexpr int TabOrder[] = {IdExecute, IdExit,   IdInList, IdOutList,
                                           IdStatus,  IdRescan, IdStep};
        const auto at = std::find(std::begin(TabOrder), std::end(TabOrder), id) - TabOrder;
        for (int i = 1; i < 7; ++i) {
            const int next = TabOrder[(at + i) % 7];
            if (!enabled.count(next) || enabled[next]) {
                focus = next;
                return;
            }
        }
    }
    int focusedControl() override {
        ui();
        return focus;
    }
    void focusControl(int id) override {
        ui();
        focus = id;
    }
    void setAccessibleName(int id, std::string_view name) override {
        ui();
        accessibleNames[id] = name;
    }
    bool askYesNo(std::string_view text, std::string_view cap) override {
        ui();
        questions.push_back({std::string(text), std::string(cap), MessageIcon::Warning});
        return answer();
    }
    void setControlText(int id, std::string_view text) override {
        ui();
        texts[id] = text;
    }
    void setProgressRange(int low, int high) override {
        ui();
        progressLow = low;
        progressHigh = high;
    }
    void setProgressPos(int pos) override {
        ui();
        progressPos = pos;
    }
    void messageBox(std::string_view text, std::string_view cap, MessageIcon icon) override {
        ui();
        boxes.push_back({std::string(text), std::string(cap), icon});
        if (whileBoxOpen) whileBoxOpen();
    }
    void setCaption(std::string_view text) override {
        ui();
        caption = text;
    }
    void setProgramIcon() override { ui(); }
    bool addAboutItem(std::string_view text, unsigned commandId) override {
        ui();
        aboutItems.emplace_back(text);
        return commandId == AboutCommandId;
    }
    void runAboutBox(CAboutDlg& about) override {
        ui();
        ++aboutRuns;
        about.onInitDialog(*this);
    }
    void setTitleText(std::string_view text) override { aboutTitle = text; }
    void defaultSysCommand(unsigned id, long) override {
        ui();
        defaultCommands.push_back(id);
    }

    void postToUiThread(std::function<void()> task) override {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(task));
        }
        posted_.notify_all();
    }
    bool onUiThread() const override { return std::this_thread::get_id() == uiThread_; }

    // Runs posted calls until done() holds; false if it still does not after
    // the (generous) limit.
    template <typename Pred>
    bool pumpUntil(Pred done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                // Short slices: done() may also change without anything posted.
                const auto slice = std::min(deadline, std::chrono::steady_clock::now() + 2ms);
                if (!posted_.wait_until(lock, slice, [&] { return !queue_.empty(); })) {
                    if (std::chrono::steady_clock::now() >= deadline) return done();
                    continue;
                }
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            task();
        }
        return true;
    }
    std::size_t pending() {
        std::lock_guard lock(mutex_);
        return queue_.size();
    }
    // Runs what is queued now, without waiting.
    void pumpPending() {
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(mutex_);
                if (queue_.empty()) return;
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            task();
        }
    }

  private:
    void ui() {
        if (!onUiThread()) ++offThreadCalls;
    }
    const std::thread::id uiThread_ = std::this_thread::get_id();
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> queue_;
};

}  // namespace q4m::app::test
