// What the main dialog's logic needs from a window toolkit, shaped after the
// platform's dialog operations so that a Qt view and a Win32 view implement
// the same small surface. Every call is made on the user-interface thread,
// except postToUiThread and onUiThread, which any thread may call.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace q4m::app {

// Control ids of the main dialog (and the About box's title field).
enum ControlId : int {
    IdExecute = 1,  // the dialog's OK id: Enter reaches it too
    IdExit = 2,     // the dialog's Cancel id: Escape and the close box do the same
    IdInList = 1000,
    IdOutList = 1001,
    IdProgress = 1002,
    IdStatus = 1003,
    IdRescan = 1004,
    IdPicture = 1005,
    IdStep = 1006,
    IdAboutTitle = 1003,  // in the About box
};

// System-menu command of the About item; the low four bits belong to the platform.
inline constexpr unsigned AboutCommandId = 0x10;

enum class MessageIcon { Stop, Warning };

// Keys the window hands to the logic when the focused control did not take them.
enum class DialogKey { Enter, Space };

// The handlers a window calls while it runs modally.
class DialogEvents {
  public:
    virtual ~DialogEvents() = default;
    virtual void onInitDialog() = 0;
    virtual void onExecute() = 0;
    virtual void onRescan() = 0;
    virtual void onSysCommand(unsigned id, long param) = 0;
    virtual void onDestroy() = 0;
    // Enter or Space that no focused control took; true when the logic used it.
    virtual bool onDialogKey(DialogKey key) = 0;
    // Exit, Escape, the close box or a close by the system: true lets the
    // window close, false keeps it open.
    virtual bool onCloseRequest() = 0;
};

class AboutWindow {
  public:
    virtual ~AboutWindow() = default;
    virtual void setTitleText(std::string_view text) = 0;
};

class CAboutDlg;

class DialogWindow {
  public:
    virtual ~DialogWindow() = default;

    // Shows the window and runs it modally: events.onInitDialog() first, the
    // other handlers as the user acts, events.onDestroy() once the run has
    // ended (Exit, Escape or the close box).
    virtual void runModal(DialogEvents& events) = 0;

    // Drop-down lists (IdInList, IdOutList). Clearing also clears the selection.
    virtual void listClear(int id) = 0;
    virtual void listAppend(int id, std::string_view text) = 0;
    virtual int listCount(int id) = 0;
    virtual std::string listText(int id, int index) = 0;
    virtual int listSelection(int id) = 0;  // -1 when none
    virtual void listSelect(int id, int index) = 0;

    virtual void enableControl(int id, bool enable) = 0;
    virtual void setControlText(int id, std::string_view text) = 0;
    virtual void setProgressRange(int low, int high) = 0;
    virtual void setProgressPos(int pos) = 0;

    // Modal to the window; returns once the user has closed it (one OK button).
    virtual void messageBox(std::string_view text, std::string_view caption, MessageIcon icon) = 0;
    // Modal question with Yes and No, warning icon; No is the default button
    // and the answer to Escape, so a stray Enter never says Yes. True for Yes.
    virtual bool askYesNo(std::string_view text, std::string_view caption) = 0;
    virtual void setCaption(std::string_view text) = 0;
    virtual void setProgramIcon() = 0;

    // The control that has the keyboard focus (0 when none of ours), and
    // moving it; the logic decides where focus goes when controls are disabled.
    virtual int focusedControl() = 0;
    virtual void focusControl(int id) = 0;
    // The name assistive technology reads for a control that shows no text of its own.
    virtual void setAccessibleName(int id, std::string_view name) = 0;

    // Adds the About item below the platform's own window-menu items; false
    // when the window has no such menu.
    virtual bool addAboutItem(std::string_view text, unsigned commandId) = 0;
    virtual void runAboutBox(CAboutDlg& about) = 0;
    // The platform's handling of a window-menu command that is not ours.
    virtual void defaultSysCommand(unsigned id, long param) = 0;

    // Queues task to run later on the user-interface thread; never runs it
    // inline. Tasks still queued when the window goes away may be dropped.
    virtual void postToUiThread(std::function<void()> task) = 0;
    virtual bool onUiThread() const = 0;
};

}  // namespace q4m::app
