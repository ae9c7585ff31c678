#include "app/win32/win32_window.h"

#include <commctrl.h>

#include <string>

#include "app/about_dialog.h"
#include "app/minimized_icon.h"
#include "app/win32/resource.h"

namespace q4m::app::win32 {

namespace {

std::string text(std::string_view view) {
    return std::string(view);
}

// The About box's one control the logic sets: the title field.
class AboutBoxWindow : public AboutWindow {
  public:
    explicit AboutBoxWindow(HWND hwnd) : hwnd_(hwnd) {}
    void setTitleText(std::string_view title) override {
        SetDlgItemTextA(hwnd_, Q4M_IDC_ABOUT_TITLE, text(title).c_str());
    }

  private:
    HWND hwnd_;
};

INT_PTR CALLBACK aboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            AboutBoxWindow window(hwnd);
            return reinterpret_cast<CAboutDlg*>(lParam)->onInitDialog(window) ? TRUE : FALSE;
        }
        case WM_COMMAND:
            // OK, Escape and the close box end the box.
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(hwnd, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

Win32DialogWindow::Win32DialogWindow(HINSTANCE instance)
    : instance_(instance), uiThread_(GetCurrentThreadId()) {
    icon_ = LoadIconA(instance_, MAKEINTRESOURCEA(Q4M_IDI_PROGRAM));
}

Win32DialogWindow::~Win32DialogWindow() = default;

void Win32DialogWindow::runModal(DialogEvents& events) {
    events_ = &events;
    DialogBoxParamA(instance_, MAKEINTRESOURCEA(Q4M_IDD_MAIN), nullptr,
                    &Win32DialogWindow::dialogProc, reinterpret_cast<LPARAM>(this));
    events.onDestroy();
    events_ = nullptr;
}

INT_PTR CALLBACK Win32DialogWindow::dialogProc(HWND hwnd, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        auto* self = reinterpret_cast<Win32DialogWindow*>(lParam);
        {
            std::lock_guard lock(self->tasksMutex_);
            self->hwnd_ = hwnd;
        }
    }
    auto* self = reinterpret_cast<Win32DialogWindow*>(GetWindowLongPtrA(hwnd, DWLP_USER));
    return self ? self->handle(message, wParam, lParam) : FALSE;
}

INT_PTR Win32DialogWindow::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            // Rescan Device carries the default-button style as well, and the
            // dialog manager would make it the Enter key's target; Enter is
            // the Execute command.
            SendMessageA(hwnd_, DM_SETDEFID, IDOK, 0);
            if (events_) events_->onInitDialog();
            return TRUE;  // the focus goes to the first tab stop, Execute
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDOK:  // the button, and Enter wherever no button has the focus
                    if (events_) events_->onDialogKey(DialogKey::Enter);
                    return TRUE;
                case IDCANCEL:  // Exit, Escape and the close box: the logic decides
                    if (!events_ || events_->onCloseRequest()) EndDialog(hwnd_, IDCANCEL);
                    return TRUE;
                case Q4M_IDC_RESCAN:
                    if (HIWORD(wParam) == BN_CLICKED && events_) events_->onRescan();
                    return TRUE;
                default:
                    return FALSE;
            }
        case WM_SYSCOMMAND:
            passSysCommand_ = false;
            if (events_)
                events_->onSysCommand(static_cast<unsigned>(wParam), static_cast<long>(lParam));
            // FALSE hands the command to the dialog's default handling.
            return passSysCommand_ ? FALSE : TRUE;
        case WM_PAINT:
            if (!IsIconic(hwnd_)) return FALSE;
            paintMinimised();
            return TRUE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(icon_);
        case RunTasksMessage:
            runTasks();
            return TRUE;
        case WM_DESTROY: {
            std::lock_guard lock(tasksMutex_);
            hwnd_ = nullptr;
            tasks_.clear();
            return FALSE;
        }
        default:
            return FALSE;
    }
}

void Win32DialogWindow::paintMinimised() {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd_, &paint);
    SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(hwnd_, &client);
    const IconOrigin origin =
        centredIconOrigin(client.right - client.left, client.bottom - client.top,
                          GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    DrawIcon(dc, origin.x, origin.y, icon_);
    EndPaint(hwnd_, &paint);
}

void Win32DialogWindow::runTasks() {
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard lock(tasksMutex_);
            if (tasks_.empty()) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

void Win32DialogWindow::listClear(int id) {
    SendDlgItemMessageA(hwnd_, id, CB_RESETCONTENT, 0, 0);
}

void Win32DialogWindow::listAppend(int id, std::string_view entry) {
    // An unsorted list: CB_ADDSTRING appends, and selects nothing.
    SendDlgItemMessageA(hwnd_, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text(entry).c_str()));
}

int Win32DialogWindow::listCount(int id) {
    const LRESULT count = SendDlgItemMessageA(hwnd_, id, CB_GETCOUNT, 0, 0);
    return count == CB_ERR ? 0 : static_cast<int>(count);
}

std::string Win32DialogWindow::listText(int id, int index) {
    const LRESULT length = SendDlgItemMessageA(hwnd_, id, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) return {};
    std::string entry(static_cast<std::size_t>(length) + 1, '\0');
    const LRESULT copied =
        SendDlgItemMessageA(hwnd_, id, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(entry.data()));
    entry.resize(copied == CB_ERR ? 0 : static_cast<std::size_t>(copied));
    return entry;
}

int Win32DialogWindow::listSelection(int id) {
    return static_cast<int>(SendDlgItemMessageA(hwnd_, id, CB_GETCURSEL, 0, 0));  // CB_ERR is -1
}

void Win32DialogWindow::listSelect(int id, int index) {
    SendDlgItemMessageA(hwnd_, id, CB_SETCURSEL, index, 0);
}

void Win32DialogWindow::enableControl(int id, bool enable) {
    EnableWindow(GetDlgItem(hwnd_, id), enable ? TRUE : FALSE);
}

void Win32DialogWindow::setControlText(int id, std::string_view value) {
    SetDlgItemTextA(hwnd_, id, text(value).c_str());
}

void Win32DialogWindow::setProgressRange(int low, int high) {
    SendDlgItemMessageA(hwnd_, Q4M_IDC_PROGRESS, PBM_SETRANGE32, static_cast<WPARAM>(low),
                        static_cast<LPARAM>(high));
}

void Win32DialogWindow::setProgressPos(int pos) {
    SendDlgItemMessageA(hwnd_, Q4M_IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void Win32DialogWindow::messageBox(std::string_view message, std::string_view caption,
                                   MessageIcon icon) {
    MessageBoxA(hwnd_, text(message).c_str(), text(caption).c_str(),
                MB_OK | (icon == MessageIcon::Stop ? MB_ICONSTOP : MB_ICONWARNING));
}

bool Win32DialogWindow::askYesNo(std::string_view question, std::string_view caption) {
    // No is the default button. A Yes/No box has no Cancel, so Escape does
    // nothing there rather than answer No.
    return MessageBoxA(hwnd_, text(question).c_str(), text(caption).c_str(),
                       MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

int Win32DialogWindow::focusedControl() {
    HWND focused = GetFocus();
    return focused && IsChild(hwnd_, focused) ? GetDlgCtrlID(focused) : 0;
}

void Win32DialogWindow::focusControl(int id) {
    // Through the dialog manager, so the default button follows the focus.
    if (HWND control = GetDlgItem(hwnd_, id))
        SendMessageA(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
}

// Windows' accessibility names a control from the label before it in the
// template (the lists have theirs); giving the edits and the progress bar a
// name of their own needs the platform's accessibility object services, which
// this view does not use yet.
void Win32DialogWindow::setAccessibleName(int, std::string_view) {}

void Win32DialogWindow::setCaption(std::string_view caption) {
    SetWindowTextA(hwnd_, text(caption).c_str());
}

void Win32DialogWindow::setProgramIcon() {
    SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
}

bool Win32DialogWindow::addAboutItem(std::string_view item, unsigned commandId) {
    HMENU menu = GetSystemMenu(hwnd_, FALSE);
    if (!menu) return false;
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, commandId, text(item).c_str());
    return true;
}

void Win32DialogWindow::runAboutBox(CAboutDlg& about) {
    DialogBoxParamA(instance_, MAKEINTRESOURCEA(Q4M_IDD_ABOUT), hwnd_, &aboutProc,
                    reinterpret_cast<LPARAM>(&about));
}

void Win32DialogWindow::defaultSysCommand(unsigned, long) {
    passSysCommand_ = true;
}

void Win32DialogWindow::postToUiThread(std::function<void()> task) {
    std::lock_guard lock(tasksMutex_);
    if (!hwnd_) return;  // the window is gone: the task is dropped
    tasks_.push_back(std::move(task));
    if (tasks_.size() == 1) PostMessageA(hwnd_, RunTasksMessage, 0, 0);
}

bool Win32DialogWindow::onUiThread() const {
    return GetCurrentThreadId() == uiThread_;
}

}  // namespace q4m::app::win32
