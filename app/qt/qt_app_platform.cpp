#include "app/qt/qt_app_platform.h"

#include <QCoreApplication>
#include <QMessageBox>

#include "app/qt/updater_window.h"
#if defined(Q4M_HAVE_QTDBUS)
#include "app/qt/logind_inhibitor.h"
#endif
#include "app/update_dialog.h"

namespace q4m::app::qt {

QtAppPlatform::QtAppPlatform(midi::MidiService& midi, midi::TimerService& timer,
                             const engine::Timings& timings)
    : midi_(midi), timer_(timer), timings_(timings) {}

void QtAppPlatform::appMessageBox(std::string_view text) {
    // Caption: the application name, which Qt takes from the executable's file name.
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(),
                    QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())),
                    QMessageBox::Ok);
    box.exec();
}

void QtAppPlatform::runMainDialog(int instanceNumber) {
    UpdaterWindow window;
#if defined(Q4M_HAVE_QTDBUS)
    LogindInhibitor inhibitor;  // outlives the dialog, which releases it
#endif
    CQ2wUpdatorDlg dialog(window, midi_, timer_, instanceNumber, timings_);
#if defined(Q4M_HAVE_QTDBUS)
    dialog.setSleepInhibitor(&inhibitor);
#endif
    dialog.doModal();
    // dialog goes first: it waits for a worker that is still ending.
}

int runUpdater(midi::MidiService& midi, midi::TimerService& timer) {
    QtAppPlatform platform(midi, timer);
    CQ2wUpdatorApp app(platform, defaultLockDirectory());
    app.initInstance();
    return 0;
}

}  // namespace q4m::app::qt
