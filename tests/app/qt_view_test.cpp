// The real Qt window, offscreen: template 103's controls with their ids,
// texts, tab order and default button; the About item and box; an error box
// raised from another thread through the dialog's bridge; and a modal run
// that ends on Escape.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <map>
#include <thread>

#include "app/qt/about_box.h"
#include "app/qt/updater_window.h"
#include "app/update_dialog.h"
#include "engine/strings.h"
#include "midi/portable/portable_timer.h"
#include "midi/virtual/virtual_midi.h"
#include "tests/app/dialog_rig.h"

// Qt is not built with ThreadSanitizer: its own thread pool's allocations and
// futex-based locks are invisible to it and show up as races between Qt's
// threads. Calls made from inside Qt are ignored; our code stays checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n"
           "called_from_lib:libQt6Widgets.so.6\n";
}

// fontconfig keeps a cache for the process's life, which LeakSanitizer reports.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace q4m::app::qt {
namespace {

class QtView : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "qt_view_test";
        static char* argv[] = {name, nullptr};
        qputenv("QT_QPA_PLATFORM", "offscreen");
        if (!QApplication::instance()) new QApplication(argc, argv);
    }

    void SetUp() override {
        midi.addOutputDevice("Midi Through Port-0");
        midi.addOutputDevice("VEXA Q Series (2)");
        midi.addInputDevice("VEXA Q Series (2)");
    }

    // Runs fn from the event loop every few ms until it returns true, or
    // until the test's window goes.
    void whenReady(std::function<bool()> fn) {
        auto* timer = new QTimer(&window);
        timer->setInterval(5);
        QObject::connect(timer, &QTimer::timeout, [timer, fn] {
            if (fn()) timer->deleteLater();
        });
        timer->start();
    }

    midi::VirtualMidiService midi;
    midi::PortableTimerService timer;
    UpdaterWindow window;
};

TEST_F(QtView, HasTheTemplateControlsTabOrderAndDefaultButton) {
    CQ2wUpdatorDlg dialog(window, midi, timer, 2);
    dialog.onInitDialog();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Vexa Q4m System 1.10 Updater (2)"));

    auto* execute = qobject_cast<QPushButton*>(window.control(IdExecute));
    auto* exit = qobject_cast<QPushButton*>(window.control(IdExit));
    auto* rescan = qobject_cast<QPushButton*>(window.control(IdRescan));
    ASSERT_TRUE(execute && exit && rescan);
    EXPECT_EQ(execute->text(), "Execute");
    EXPECT_EQ(exit->text(), "Exit");
    EXPECT_EQ(rescan->text(), "Rescan Device");
    EXPECT_TRUE(execute->isDefault());
    EXPECT_FALSE(rescan->isDefault());
    EXPECT_TRUE(qobject_cast<QComboBox*>(window.control(IdInList)));
    EXPECT_TRUE(qobject_cast<QProgressBar*>(window.control(IdProgress)));
    EXPECT_TRUE(window.control(IdPicture));
    for (const int id : {IdStatus, IdStep}) {
        auto* edit = qobject_cast<QLineEdit*>(window.control(id));
        ASSERT_TRUE(edit) << id;
        EXPECT_TRUE(edit->isReadOnly());
    }
    // Preselected by name for instance 2; the output list has two entries.
    auto* outList = qobject_cast<QComboBox*>(window.control(IdOutList));
    EXPECT_EQ(outList->count(), 2);
    EXPECT_EQ(outList->currentIndex(), 1);
    EXPECT_EQ(qobject_cast<QComboBox*>(window.control(IdInList))->currentIndex(), 0);

    const int order[] = {IdExecute, IdExit, IdInList, IdOutList, IdStatus, IdRescan, IdStep};
    QWidget* w = window.control(IdExecute);
    for (std::size_t i = 1; i < std::size(order); ++i) {
        do w = w->nextInFocusChain();
        while (w->focusPolicy() == Qt::NoFocus || !w->property("controlId").isValid());
        EXPECT_EQ(w->property("controlId").toInt(), order[i]) << "tab stop " << i;
    }

    // Every control has a name for assistive technology; the labels name their lists.
    for (const int id :
         {IdExecute, IdExit, IdInList, IdOutList, IdProgress, IdStatus, IdRescan, IdStep})
        EXPECT_FALSE(window.control(id)->accessibleName().isEmpty()) << id;
    EXPECT_EQ(window.control(IdInList)->accessibleName(), QStringLiteral("MIDI IN"));
    EXPECT_EQ(window.control(IdStatus)->accessibleName(), QStringLiteral("Status"));
    std::map<QString, QWidget*> buddies;
    for (auto* label : window.findChildren<QLabel*>()) buddies[label->text()] = label->buddy();
    EXPECT_EQ(buddies[QStringLiteral("MIDI IN")], window.control(IdInList));
    EXPECT_EQ(buddies[QStringLiteral("MIDI OUT")], window.control(IdOutList));
    // Read-only fields drawn as such; no minimise or maximise box.
    EXPECT_EQ(window.control(IdStatus)->palette().color(QPalette::Base),
              window.palette().color(QPalette::Window));
    EXPECT_FALSE(window.windowFlags() &
                 (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    // Template 103 is 239 by 161 units, the Execute button 50 by 16.
    EXPECT_GT(window.width(), window.height());
    EXPECT_NEAR(double(execute->width()) / window.width(), 50.0 / 239, 0.02);
}

TEST_F(QtView, AboutItemOpensTheBoxWithTheBareTitle) {
    CQ2wUpdatorDlg dialog(window, midi, timer, 3);
    QString title, caption;
    int step = 0;
    // Two timers: Qt does not re-enter a timer from the nested loop of the box it opened.
    whenReady([&] {
        if (!window.isVisible()) return false;
        step = 1;
        if (window.aboutAction()) window.aboutAction()->trigger();  // returns once closed
        step = 2;
        window.reject();
        return true;
    });
    whenReady([&] {
        auto* box = window.findChild<AboutBox*>();
        if (!box || !box->isVisible()) return false;
        caption = box->windowTitle();
        title = box->findChild<QLineEdit*>(QStringLiteral("ctl1003"))->text();
        box->findChild<QPushButton*>(QStringLiteral("ctl1"))->click();
        return true;
    });
    dialog.doModal();
    EXPECT_EQ(step, 2);
    ASSERT_TRUE(window.aboutAction());
    EXPECT_EQ(window.aboutAction()->text(), QStringLiteral("About VEXA Q Series Updater(&A)..."));
    EXPECT_EQ(window.contextMenuPolicy(), Qt::ActionsContextMenu);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Vexa Q4m System 1.10 Updater (3)"));
    EXPECT_EQ(caption, QStringLiteral("About Q Series Updater"));
    EXPECT_EQ(title, QStringLiteral("Vexa Q4m System 1.10 Updater"));
}

TEST_F(QtView, ErrorBoxFromAnotherThreadReturnsOnlyOnceClosed) {
    CQ2wUpdatorDlg dialog(window, midi, timer, 1);
    dialog.onInitDialog();
    window.show();
    std::atomic<bool> returned{false};
    bool returnedWhileOpen = false;
    QString text, caption;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    whenReady([&] {
        auto* box = window.findChild<QMessageBox*>();
        if (!box || !box->isVisible()) return false;
        returnedWhileOpen = returned;
        text = box->text();
        caption = box->windowTitle();
        icon = box->icon();
        buttons = box->standardButtons();
        box->button(QMessageBox::Ok)->click();
        return true;
    });
    std::thread worker([&] {
        dialog.showError(engine::StringId::TransferError);
        returned = true;
    });
    QDeadlineTimer deadline(30000);
    while (!returned && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(returnedWhileOpen);
    EXPECT_EQ(text, QStringLiteral("Transfer error occurred."));
    EXPECT_EQ(caption, QStringLiteral("Error"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

// The impatient double press: Enter starts the run, and a second Enter or a
// Space must reach the logic ("In Progress."), never the Exit button that
// sits next in the tab order.
TEST_F(QtView, EnterThenEnterAndSpaceDuringARunSayInProgressAndKeepTheWindowOpen) {
    // The device never answers: the run waits for its identity reply.
    CQ2wUpdatorDlg dialog(window, midi, timer, 2);
    QStringList boxes;
    whenReady([&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && box->isVisible()) {
            boxes << box->text();
            box->button(QMessageBox::Ok)->click();
        }
        return boxes.size() == 2;
    });
    bool openAfterKeys = false;
    int step = 0;
    whenReady([&] {
        if (!window.isVisible()) return false;
        auto press = [&](int key) {
            QWidget* target = window.focusWidget() ? window.focusWidget() : &window;
            QTest::keyClick(target, Qt::Key(key));  // returns once a box it raised is closed
        };
        if (step == 0) {
            press(Qt::Key_Return);
            step = dialog.busy() ? 1 : -1;
            return step < 0;
        }
        press(Qt::Key_Return);
        press(Qt::Key_Space);
        openAfterKeys = window.isVisible() && dialog.busy() == 1;
        window.reject();  // before the begin request: closes without a question
        return true;
    });
    dialog.doModal();
    EXPECT_EQ(step, 1);
    EXPECT_TRUE(openAfterKeys);
    EXPECT_EQ(boxes, QStringList({QStringLiteral("In Progress."), QStringLiteral("In Progress.")}));
}

// Closing while the device is being rewritten asks first. The question's
// default is No, so a stray Enter into it keeps the run; Yes closes at once.
TEST_F(QtView, ClosingDuringTheRewriteAsksAndAStrayEnterKeepsTheRun) {
    // Held at the first erase: past the begin request.
    test::GatedDevice device(midi, [](std::span<const std::uint8_t> m) {
        return test::makerCommand(m) == 0x0A ? test::GatedDevice::Action::Swallow
                                             : test::GatedDevice::Action::Pass;
    });
    CQ2wUpdatorDlg dialog(window, midi, timer, 1, test::quickTimings());
    QStringList answers;
    bool defaultIsNo = false;
    bool runningAfterNo = false;
    whenReady([&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return false;
        defaultIsNo = box->defaultButton() == box->button(QMessageBox::No);
        if (answers.isEmpty()) {
            answers << QStringLiteral("Enter");
            QTest::keyClick(box, Qt::Key_Return);
        } else {
            answers << QStringLiteral("Yes");
            box->button(QMessageBox::Yes)->click();
        }
        return answers.size() == 2;
    });
    int step = 0;
    whenReady([&] {
        if (!window.isVisible()) return false;
        if (step == 0) {
            window.control(IdExecute)->setFocus();
            QTest::keyClick(window.focusWidget(), Qt::Key_Return);
            step = 1;
            return false;
        }
        if (device.held() < 1) return false;
        QTest::keyClick(window.focusWidget(), Qt::Key_Escape);  // asked; Enter says No
        runningAfterNo =
            window.isVisible() && dialog.busy() == 1 && dialog.session().workerRunning();
        window.control(IdExit)->setFocus();
        QTest::keyClick(window.focusWidget(), Qt::Key_Space);  // Exit: asked; Yes
        return true;
    });
    dialog.doModal();
    EXPECT_TRUE(defaultIsNo);
    EXPECT_TRUE(runningAfterNo);
    EXPECT_EQ(answers, QStringList({QStringLiteral("Enter"), QStringLiteral("Yes")}));
    EXPECT_FALSE(window.isVisible());
}

// A port plugged in while the window is idle shows up without Rescan Device,
// and the user's choice stays.
TEST_F(QtView, APortAddedWhileIdleAppearsInTheListsKeepingTheChoice) {
    CQ2wUpdatorDlg dialog(window, midi, timer, 2);
    dialog.onInitDialog();
    auto* outList = qobject_cast<QComboBox*>(window.control(IdOutList));
    outList->setCurrentIndex(0);  // the user picks the first port
    std::thread([&] { midi.addOutputDevice("Soft Synth"); }).join();
    QDeadlineTimer deadline(30000);
    while (outList->count() < 3 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(outList->count(), 3);
    EXPECT_EQ(outList->itemText(2), QStringLiteral("Soft Synth"));
    EXPECT_EQ(outList->currentIndex(), 0);
    dialog.onDestroy();
}

TEST_F(QtView, EscapeEndsTheRunAndLaterViewCallsAreDropped) {
    CQ2wUpdatorDlg dialog(window, midi, timer, 1);
    whenReady([&] {
        if (!window.isVisible()) return false;
        QTest::keyClick(&window, Qt::Key_Escape);
        return true;
    });
    dialog.doModal();
    EXPECT_FALSE(window.isVisible());
    // The window is gone: a worker's call returns at once, without the UI thread.
    std::thread late([&] { dialog.setStatusText("late"); });
    late.join();
    QCoreApplication::processEvents();
    EXPECT_TRUE(qobject_cast<QLineEdit*>(window.control(IdStatus))->text().isEmpty());
}

}  // namespace
}  // namespace q4m::app::qt
