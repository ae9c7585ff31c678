#include "app/qt/logind_inhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace q4m::app::qt {

namespace {

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Long enough for a busy logind, short enough that a hung one is given up
// well before any run would notice.
constexpr int CallTimeoutMs = 5000;

}  // namespace

LogindInhibitor::~LogindInhibitor() {
    release();
}

void LogindInhibitor::acquire(std::string_view who, std::string_view why) {
    if (wanted_) return;
    wanted_ = true;
    const unsigned generation = ++generation_;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << fromUtf8(who) << fromUtf8(why)
         << QStringLiteral("block");
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, CallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, generation](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
                // No logind, refused, or released meanwhile: the descriptor
                // (if any) closes with the reply.
                if (reply.isError() || !wanted_ || generation != generation_) return;
                lock_ = reply.value();
            });
}

void LogindInhibitor::release() {
    wanted_ = false;
    ++generation_;
    lock_ = QDBusUnixFileDescriptor();  // closing our copy ends the inhibition
}

}  // namespace q4m::app::qt
