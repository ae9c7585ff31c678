// The logind sleep inhibitor against a private bus standing in for the system
// bus: with a fake logind it holds the descriptor logind hands out for exactly
// as long as the run wants it (a late reply included), and with no logind it
// does nothing and says nothing.
#include "app/qt/logind_inhibitor.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QDeadlineTimer>
#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace q4m::app::qt {

// What logind would do: hand out the write end of a pipe per request, so
// the test sees the inhibition end when every copy of it is closed.
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
  public:
    QStringList lastCall;
    int readEnd = -1;

  public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode) {
        lastCall = {what, who, why, mode};
        int fds[2];
        if (::pipe(fds) != 0) return {};
        if (readEnd >= 0) ::close(readEnd);
        readEnd = fds[0];
        QDBusUnixFileDescriptor handed(fds[1]);  // a copy; ours closes now
        ::close(fds[1]);
        return handed;
    }
};

namespace {

// A private message bus, made the process's "system" bus before Qt first looks.
class PrivateBus {
  public:
    PrivateBus() {
        FILE* out = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
        if (!out) return;
        char line[512];
        if (std::fgets(line, sizeof line, out)) address_ = line;
        if (std::fgets(line, sizeof line, out)) pid_ = std::atoi(line);
        ::pclose(out);
        while (!address_.empty() && address_.back() == '\n') address_.pop_back();
    }
    ~PrivateBus() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
    }
    const std::string& address() const { return address_; }

  private:
    std::string address_;
    int pid_ = 0;
};

PrivateBus* bus = nullptr;
QtMessageHandler previousHandler = nullptr;
QStringList messages;

// Reads nothing and sees end of file once every write end is closed.
bool pipeClosed(int readEnd) {
    pollfd p{readEnd, POLLIN, 0};
    char c;
    return ::poll(&p, 1, 0) == 1 && ::read(readEnd, &c, 1) == 0;
}

template <typename Pred>
bool processUntil(Pred done) {
    QDeadlineTimer deadline(10000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

class LogindInhibitorTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        bus = new PrivateBus;
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", QByteArray::fromStdString(bus->address()));
        static int argc = 1;
        static char name[] = "logind_inhibitor_test";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
        previousHandler = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { messages << text; });
    }
    static void TearDownTestSuite() {
        qInstallMessageHandler(previousHandler);
        delete bus;
    }
    void SetUp() override {
        if (bus->address().empty()) GTEST_SKIP() << "dbus-daemon could not be started";
        messages.clear();
    }
};

TEST_F(LogindInhibitorTest, WithoutLogindNothingHappensAndNothingIsSaid) {
    LogindInhibitor inhibitor;
    inhibitor.acquire("Vexa Q4m System 1.10 Updater", "A firmware update is running.");
    // The bus answers "no such service"; give it time to.
    QDeadlineTimer settle(300);
    while (!settle.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_FALSE(inhibitor.held());
    inhibitor.release();
    EXPECT_TRUE(messages.isEmpty()) << messages.join(QLatin1Char('\n')).toStdString();
}

TEST_F(LogindInhibitorTest, HoldsLogindsDescriptorForTheRunAndClosesItAfter) {
    QDBusConnection service =
        QDBusConnection::connectToBus(QString::fromStdString(bus->address()), "fake-logind");
    ASSERT_TRUE(service.isConnected());
    FakeLogind logind;
    ASSERT_TRUE(service.registerObject("/org/freedesktop/login1", &logind,
                                       QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(service.registerService("org.freedesktop.login1"));

    LogindInhibitor inhibitor;
    inhibitor.acquire("Vexa Q4m System 1.10 Updater", "A firmware update is running.");
    ASSERT_TRUE(processUntil([&] { return inhibitor.held(); }));
    EXPECT_EQ(logind.lastCall, QStringList({"sleep:idle", "Vexa Q4m System 1.10 Updater",
                                            "A firmware update is running.", "block"}));
    EXPECT_FALSE(pipeClosed(logind.readEnd));
    inhibitor.release();
    EXPECT_FALSE(inhibitor.held());
    EXPECT_TRUE(processUntil([&] { return pipeClosed(logind.readEnd); }));

    // Released before logind answered: the late descriptor is closed at once.
    inhibitor.acquire("Vexa Q4m System 1.10 Updater", "A firmware update is running.");
    inhibitor.release();
    const int before = logind.readEnd;
    ASSERT_TRUE(processUntil([&] { return logind.readEnd != before; }));
    EXPECT_TRUE(processUntil([&] { return pipeClosed(logind.readEnd); }));
    EXPECT_FALSE(inhibitor.held());

    ::close(logind.readEnd);
    service.unregisterService("org.freedesktop.login1");
    QDBusConnection::disconnectFromBus("fake-logind");
    EXPECT_TRUE(messages.isEmpty()) << messages.join(QLatin1Char('\n')).toStdString();
}

}  // namespace
}  // namespace q4m::app::qt

#include "logind_inhibitor_test.moc"
