// The main window in Qt Widgets: dialog template 103 laid out in dialog units,
// the controls bound by id, and the DialogWindow operations the logic drives.
#pragma once

#include <QDialog>
#include <QIcon>
#include <deque>
#include <map>
#include <mutex>

#include "app/dialog_window.h"

class QAction;
class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace q4m::app::qt {

// Icon 128, kept as a Qt resource.
QIcon programIcon();

class UpdaterWindow : public QDialog, public DialogWindow {
    Q_OBJECT
  public:
    UpdaterWindow();
    ~UpdaterWindow() override;

    // The control with this id (every child carries its id as "controlId").
    QWidget* control(int id) const;
    QAction* aboutAction() const { return aboutAction_; }

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

    // Every close (Exit, Escape, the close box, the system) comes through here.
    void reject() override;

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    QComboBox* list(int id) const;
    template <typename W>
    W* add(W* widget, int id, int x, int y, int width, int height);

    // Invoked by name, so that the queued wake-up carries no functor of ours.
    Q_INVOKABLE void runPosted();

    // Tasks from postToUiThread, in order; each posted wake-up runs one. The
    // tasks stay ours rather than Qt's, so that they are only ever run and
    // destroyed on the UI thread, never by the posting thread.
    std::mutex postedMutex_;
    std::deque<std::function<void()>> posted_;
    DialogEvents* events_ = nullptr;
    std::map<int, QWidget*> controls_;
    QPushButton* execute_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QAction* aboutAction_ = nullptr;
};

}  // namespace q4m::app::qt
