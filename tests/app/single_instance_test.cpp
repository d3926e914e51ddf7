// One running window: a second start of the program with a file hands it to
// the running window, over a private session bus and, without a bus, over the
// local socket, and ends.
#include "app/single_instance.h"
#include "app_test_support.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QProcess>
#include <csignal>
#include <cstdio>
#include <sys/types.h>

using namespace velmora::app;
using namespace velmora::app::testing;

namespace {

// The second start, with `environment`; how long it ran, or -1 when it did
// not end within the bar of 3 s. The running window is served meanwhile.
qint64 secondStart(const QStringList& arguments, const QProcessEnvironment& environment) {
    QProcess second;
    second.setProcessEnvironment(environment);
    QElapsedTimer clock;
    clock.start();
    second.start(QStringLiteral(VELMORA_PROGRAM), arguments);
    if (!second.waitForStarted(3000)) {
        return -1;
    }
    while (second.state() != QProcess::NotRunning && clock.elapsed() < 3000) {
        QTest::qWait(10);
    }
    if (second.state() != QProcess::NotRunning) {
        second.kill();
        second.waitForFinished();
        return -1;
    }
    return second.exitStatus() == QProcess::NormalExit && second.exitCode() == 0 ? clock.elapsed()
                                                                                 : -1;
}

} // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT
private slots:
    void secondStartHandsItsFileOver();
};

void SingleInstanceTest::secondStartHandsItsFileOver() {
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "the private session bus is not up");
    AppRig rig;
    rig.options.singleInstance = true;
    QVERIFY(rig.start());
    // The window first; the server once it is on screen.
    QVERIFY(rig.frame()->isVisible());
    QVERIFY(!rig.app->instanceServer());
    QTRY_VERIFY(rig.app->startComplete());
    QVERIFY(rig.activate());
    SingleInstance* server = rig.app->instanceServer();
    QVERIFY(server && server->onBus() && server->onSocket());

    // Over the session bus.
    const QString first = rig.exampleCopy("HANDED.mot");
    QVERIFY(secondStart({first}, QProcessEnvironment::systemEnvironment()) >= 0);
    QTRY_COMPARE(rig.frame()->windowTitle(), QStringLiteral("HANDED.mot - Velmora"));
    QCOMPARE(server->lastWay(), SingleInstance::Way::Bus);
    QCOMPARE(rig.app->recentFiles().entries().value(0), first);

    // Without a bus, over the socket; a relative name is taken in the second
    // start's own folder.
    rig.exampleCopy("second.mot");
    QProcessEnvironment noBus = QProcessEnvironment::systemEnvironment();
    noBus.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    QDir::setCurrent(rig.work.path());
    QVERIFY(secondStart({QStringLiteral("second.mot")}, noBus) >= 0);
    QTRY_COMPARE(rig.frame()->windowTitle(), QStringLiteral("second.mot - Velmora"));
    QCOMPARE(server->lastWay(), SingleInstance::Way::Socket);

    // Once the window has gone, a start runs on its own: it does not end at once.
    rig.app->exitInstance();
    rig.app.reset();
    QProcess alone;
    alone.setProcessEnvironment(noBus);
    alone.start(QStringLiteral(VELMORA_PROGRAM), {rig.path("second.mot")});
    QVERIFY(alone.waitForStarted());
    QVERIFY(!alone.waitForFinished(1000));
    alone.terminate();
    QVERIFY(alone.waitForFinished(5000));
}

// A private session bus for this program alone, up before the application
// object, so that the running window and the second start meet on it.
int main(int argc, char** argv) {
    useOwnHome();
    FILE* daemon = popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
    char address[512] = {};
    char pid[64] = {};
    if (!daemon || !fgets(address, sizeof address, daemon) || !fgets(pid, sizeof pid, daemon)) {
        std::fprintf(stderr, "single_instance_test: cannot start dbus-daemon\n");
        return 1;
    }
    pclose(daemon);
    qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray(address).trimmed());
    int code = 0;
    {
        QApplication application(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        SingleInstanceTest test;
        code = QTest::qExec(&test, argc, argv);
    }
    ::kill(static_cast<pid_t>(QByteArray(pid).trimmed().toLongLong()), SIGTERM);
    return code;
}

#include "single_instance_test.moc"
