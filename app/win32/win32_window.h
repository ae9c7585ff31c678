// The main window in Win32: dialog template 103 run modally with the
// DialogWindow operations the logic drives, the About box from template 100,
// and the error boxes. Texts are the system's multibyte code page (the A
// functions), as the port names come from WinMM.
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <mutex>

#include "app/dialog_window.h"

namespace q4m::app::win32 {

class Win32DialogWindow : public DialogWindow {
  public:
    // instance: the module whose resources hold the templates and the icon.
    explicit Win32DialogWindow(HINSTANCE instance = GetModuleHandleA(nullptr));
    ~Win32DialogWindow() override;
    Win32DialogWindow(const Win32DialogWindow&) = delete;
    Win32DialogWindow& operator=(const Win32DialogWindow&) = delete;

    HWND hwnd() const { return hwnd_; }

    // DialogWindow
    void runModal(DialogEvents& events) override;
    void listClear(int id) override;
    void listAppend(int id, std::string_view text) override;
    int listCount(int id) override;
    std::string listText(int id, int index) override;
    int listSelection(int id) override;
    void listSelect(int id, int index) override;
    void enableControl(int id, bool enable) override;
    void setControlText(int id, std::string_view text) override;
    void setProgressRange(int low, int high) override;
    void setProgressPos(int pos) override;
    void messageBox(std::string_view text, std::string_view caption, MessageIcon icon) override;
    bool askYesNo(std::string_view text, std::string_view caption) override;
    int focusedControl() override;
    void focusControl(int id) override;
    void setAccessibleName(int id, std::string_view name) override;
    void setCaption(std::string_view text) override;
    void setProgramIcon() override;
    bool addAboutItem(std::string_view text, unsigned commandId) override;
    void runAboutBox(CAboutDlg& about) override;
    void defaultSysCommand(unsigned id, long param) override;
    void postToUiThread(std::function<void()> task) override;
    bool onUiThread() const override;

    // The message that makes the UI thread run the queued tasks.
    static constexpr UINT RunTasksMessage = WM_APP + 1;

  private:
    static INT_PTR CALLBACK dialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);
    void runTasks();
    void paintMinimised();

    HINSTANCE instance_;
    const DWORD uiThread_;
    HWND hwnd_ = nullptr;
    HICON icon_ = nullptr;
    DialogEvents* events_ = nullptr;
    bool passSysCommand_ = false;
    // Sharing: postToUiThread (any thread) appends and posts a wake-up while
    // holding tasksMutex_; the UI thread takes the tasks out under it and runs
    // them without it. hwnd_ is read under it by posters, and cleared under it
    // when the window is destroyed; tasks still queued then are dropped.
    std::mutex tasksMutex_;
    std::deque<std::function<void()>> tasks_;
};

}  // namespace q4m::app::win32
