#include "app/qt/updater_window.h"

#include <QAction>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QThread>
#include <algorithm>

#include "app/about_dialog.h"
#include "app/qt/about_box.h"
#include "app/qt/dialog_units.h"

static void initResources() {
    Q_INIT_RESOURCE(updater);
}

namespace q4m::app::qt {

namespace {

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Keeps the platform's exact bytes of each list entry, so the preselection
// compares what the port reported, not a re-encoding of it.
constexpr int NameBytesRole = Qt::UserRole + 1;

// The template gives Rescan Device the default-button style without making it
// the dialog's default: Enter stays Execute's. Qt ties the look to the role,
// so the look alone is asked for here.
class DefaultLookButton : public QPushButton {
  public:
    using QPushButton::QPushButton;

  protected:
    void initStyleOption(QStyleOptionButton* option) const override {
        QPushButton::initStyleOption(option);
        option->features |= QStyleOptionButton::DefaultButton;
    }
};

}  // namespace

QIcon programIcon() {
    initResources();
    return QIcon(QStringLiteral(":/q4m/program-icon.png"));
}

template <typename W>
W* UpdaterWindow::add(W* widget, int id, int x, int y, int width, int height) {
    const DialogUnits du(font());
    widget->setGeometry(du.rect(x, y, width, height));
    if (id != 0) {
        widget->setObjectName(QStringLiteral("ctl%1").arg(id));
        widget->setProperty("controlId", id);
        controls_[id] = widget;
    }
    return widget;
}

UpdaterWindow::UpdaterWindow() {
    setFont(dialogFont());
    const DialogUnits du(font());
    // Caption, window menu and close box; no minimise or maximise box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(du.x(239), du.y(161));

    execute_ = add(new QPushButton(QStringLiteral("Execute"), this), IdExecute, 119, 138, 50, 16);
    execute_->setDefault(true);
    auto* exit = add(new QPushButton(QStringLiteral("Exit"), this), IdExit, 182, 138, 50, 16);
    auto* inLabel = add(new QLabel(QStringLiteral("MIDI IN"), this), 0, 7, 7, 225, 8);
    auto* outLabel = add(new QLabel(QStringLiteral("MIDI OUT"), this), 0, 7, 37, 225, 8);
    auto* inList = add(new QComboBox(this), IdInList, 7, 15, 225, 12);
    auto* outList = add(new QComboBox(this), IdOutList, 7, 45, 225, 12);
    // Each label names its list, for assistive technology as for the eye.
    inLabel->setBuddy(inList);
    outLabel->setBuddy(outList);
    inList->setAccessibleName(inLabel->text());
    outList->setAccessibleName(outLabel->text());
    for (QComboBox* box : {inList, outList}) {
        // 115 units is the open height of the template's list.
        box->setMaxVisibleItems(std::max(1, du.y(115) / std::max(1, box->sizeHint().height())));
        box->resize(box->width(), std::max(box->height(), box->sizeHint().height()));
    }
    progress_ = add(new QProgressBar(this), IdProgress, 7, 107, 225, 14);
    progress_->setTextVisible(false);
    auto* status = add(new QLineEdit(this), IdStatus, 12, 91, 220, 12);
    auto* rescan = add(new DefaultLookButton(QStringLiteral("Rescan Device"), this), IdRescan, 145,
                       65, 87, 16);
    auto* picture = add(new QLabel(this), IdPicture, 7, 134, 20, 20);
    picture->setFocusPolicy(Qt::NoFocus);
    auto* step = add(new QLineEdit(this), IdStep, 12, 78, 29, 12);
    for (QLineEdit* edit : {status, step}) {
        edit->setReadOnly(true);
        // Drawn on the window's colour, as read-only fields are, not as a
        // field waiting for input.
        QPalette palette = edit->palette();
        palette.setBrush(QPalette::Base, palette.brush(QPalette::Window));
        edit->setPalette(palette);
    }
    for (QPushButton* button : {execute_, exit, static_cast<QPushButton*>(rescan)})
        button->setAccessibleName(button->text().remove(QLatin1Char('&')));

    setTabOrder(execute_, exit);
    setTabOrder(exit, inList);
    setTabOrder(inList, outList);
    setTabOrder(outList, status);
    setTabOrder(status, rescan);
    setTabOrder(rescan, step);

    connect(execute_, &QPushButton::clicked, this, [this] {
        if (events_) events_->onExecute();
    });
    connect(rescan, &QPushButton::clicked, this, [this] {
        if (events_) events_->onRescan();
    });
    // Exit, Escape and the close box all come to reject(), where the logic decides.
    connect(exit, &QPushButton::clicked, this, &UpdaterWindow::reject);
}

UpdaterWindow::~UpdaterWindow() = default;

QWidget* UpdaterWindow::control(int id) const {
    const auto found = controls_.find(id);
    return found == controls_.end() ? nullptr : found->second;
}

QComboBox* UpdaterWindow::list(int id) const {
    return qobject_cast<QComboBox*>(control(id));
}

void UpdaterWindow::runModal(DialogEvents& events) {
    events_ = &events;
    events.onInitDialog();
    execute_->setFocus();
    exec();
    events.onDestroy();
    events_ = nullptr;
}

void UpdaterWindow::reject() {
    if (events_ && !events_->onCloseRequest()) return;
    QDialog::reject();
}

void UpdaterWindow::keyPressEvent(QKeyEvent* event) {
    // Only keys the focused control left alone arrive here (a focused button
    // takes its own Enter and Space); the logic decides what they mean.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const bool space = event->key() == Qt::Key_Space;
    if ((enter || space) && event->modifiers() == Qt::NoModifier && events_ &&
        !qobject_cast<QPushButton*>(focusWidget()) &&
        events_->onDialogKey(enter ? DialogKey::Enter : DialogKey::Space))
        return;
    QDialog::keyPressEvent(event);
}

void UpdaterWindow::listClear(int id) {
    if (auto* box = list(id)) box->clear();
}

void UpdaterWindow::listAppend(int id, std::string_view text) {
    QComboBox* box = list(id);
    if (!box) return;
    // QComboBox selects the first entry added to an empty list; the dialog's
    // lists keep no selection until one is made.
    const int before = box->currentIndex();
    box->addItem(fromUtf8(text));
    box->setItemData(box->count() - 1, QByteArray(text.data(), static_cast<qsizetype>(text.size())),
                     NameBytesRole);
    if (before < 0) box->setCurrentIndex(-1);
}

int UpdaterWindow::listCount(int id) {
    const QComboBox* box = list(id);
    return box ? box->count() : 0;
}

std::string UpdaterWindow::listText(int id, int index) {
    const QComboBox* box = list(id);
    if (!box || index < 0 || index >= box->count()) return {};
    return box->itemData(index, NameBytesRole).toByteArray().toStdString();
}

int UpdaterWindow::listSelection(int id) {
    const QComboBox* box = list(id);
    return box ? box->currentIndex() : -1;
}

void UpdaterWindow::listSelect(int id, int index) {
    if (auto* box = list(id)) box->setCurrentIndex(index);
}

void UpdaterWindow::enableControl(int id, bool enable) {
    if (QWidget* widget = control(id)) widget->setEnabled(enable);
}

void UpdaterWindow::setControlText(int id, std::string_view text) {
    if (auto* edit = qobject_cast<QLineEdit*>(control(id))) {
        edit->setText(fromUtf8(text));
        edit->setCursorPosition(0);
    }
}

void UpdaterWindow::setProgressRange(int low, int high) {
    progress_->setRange(low, high);
}

void UpdaterWindow::setProgressPos(int pos) {
    progress_->setValue(pos);
}

void UpdaterWindow::messageBox(std::string_view text, std::string_view caption, MessageIcon icon) {
    QMessageBox box(icon == MessageIcon::Stop ? QMessageBox::Critical : QMessageBox::Warning,
                    fromUtf8(caption), fromUtf8(text), QMessageBox::Ok, this);
    box.exec();
}

bool UpdaterWindow::askYesNo(std::string_view text, std::string_view caption) {
    QMessageBox box(QMessageBox::Warning, fromUtf8(caption), fromUtf8(text),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

int UpdaterWindow::focusedControl() {
    const QWidget* focused = focusWidget();
    return focused ? focused->property("controlId").toInt() : 0;
}

void UpdaterWindow::focusControl(int id) {
    if (QWidget* widget = control(id)) widget->setFocus(Qt::OtherFocusReason);
}

void UpdaterWindow::setAccessibleName(int id, std::string_view name) {
    if (QWidget* widget = control(id)) widget->setAccessibleName(fromUtf8(name));
}

void UpdaterWindow::setCaption(std::string_view text) {
    setWindowTitle(fromUtf8(text));
}

void UpdaterWindow::setProgramIcon() {
    setWindowIcon(programIcon());
}

// Window managers own the window menu on Linux, so the item lives in the
// window's context menu and reaches the same system-command routing.
bool UpdaterWindow::addAboutItem(std::string_view text, unsigned commandId) {
    if (aboutAction_) return true;
    aboutAction_ = new QAction(fromUtf8(text), this);
    aboutAction_->setObjectName(QStringLiteral("aboutAction"));
    connect(aboutAction_, &QAction::triggered, this, [this, commandId] {
        if (events_) events_->onSysCommand(commandId, 0);
    });
    addAction(aboutAction_);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    return true;
}

void UpdaterWindow::runAboutBox(CAboutDlg& about) {
    AboutBox box(this);
    about.onInitDialog(box);
    box.exec();
}

// The window manager handles its own menu items; nothing reaches us here.
void UpdaterWindow::defaultSysCommand(unsigned, long) {}

void UpdaterWindow::postToUiThread(std::function<void()> task) {
    {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(task));
    }
    QMetaObject::invokeMethod(this, "runPosted", Qt::QueuedConnection);
}

// One task per wake-up: a task that opens a modal box lets the next ones run
// from the box's loop, in order, as they would have without it.
void UpdaterWindow::runPosted() {
    std::function<void()> task;
    {
        std::lock_guard lock(postedMutex_);
        if (posted_.empty()) return;
        task = std::move(posted_.front());
        posted_.pop_front();
    }
    task();
}

bool UpdaterWindow::onUiThread() const {
    return QThread::currentThread() == thread();
}

}  // namespace q4m::app::qt
