#include "desktop/suspend_inhibitor.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <unistd.h>

using velmora::desktop::SuspendInhibitor;
using namespace std::chrono_literals;

namespace {

// Collects every Qt message while it lives: the inhibitor must stay silent.
class MessageCatcher {
public:
    MessageCatcher() {
        caught() = 0;
        previous_ = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString&) { ++caught(); });
    }
    ~MessageCatcher() { qInstallMessageHandler(previous_); }
    int count() const { return caught(); }

private:
    static std::atomic<int>& caught() {
        static std::atomic<int> n{0};
        return n;
    }
    QtMessageHandler previous_;
};

// A dbus-daemon of the test's own, with the standard session bus settings.
class PrivateBus {
public:
    PrivateBus() {
        const QString daemon = QStandardPaths::findExecutable("dbus-daemon");
        if (daemon.isEmpty()) {
            return;
        }
        daemon_.setStandardErrorFile(QProcess::nullDevice());
        daemon_.start(daemon, {"--session", "--nofork", "--print-address=1"});
        if (!daemon_.waitForStarted(10000)) {
            return;
        }
        QDeadlineTimer deadline(10000);
        while (!daemon_.canReadLine() && !deadline.hasExpired()) {
            daemon_.waitForReadyRead(100);
        }
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
    ~PrivateBus() {
        daemon_.kill();
        daemon_.waitForFinished(5000);
    }
    const QString& address() const { return address_; }

private:
    QProcess daemon_;
    QString address_;
};

// Stands in for logind's Manager: hands out the write end of a pipe per
// Inhibit call and keeps the read end, so the test sees when every copy of the
// lock is closed. With answer off it takes the call and never replies.
class LoginManager : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public:
    explicit LoginManager(bool answer) : answer_(answer) {}
    ~LoginManager() override {
        if (readEnd_ >= 0) {
            ::close(readEnd_);
        }
    }

    struct Call {
        QString what, who, why, mode;
    };
    Call lastCall() const {
        QMutexLocker lock(&mutex_);
        return call_;
    }
    int calls() const { return calls_; }
    int readEnd() const { return readEnd_; }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode) {
        {
            QMutexLocker lock(&mutex_);
            call_ = {what, who, why, mode};
        }
        ++calls_;
        if (!answer_) {
            setDelayedReply(true);
            pending_ = message();
            return {};
        }
        int ends[2];
        if (::pipe(ends) != 0) {
            return {};
        }
        readEnd_ = ends[0];
        QDBusUnixFileDescriptor lock(ends[1]); // keeps a copy of its own
        ::close(ends[1]);
        return lock;
    }

private:
    bool answer_;
    mutable QMutex mutex_;
    Call call_;
    std::atomic<int> calls_{0};
    std::atomic<int> readEnd_{-1};
    QDBusMessage pending_;
};

// Runs the stand-in on a connection and thread of its own, as logind would be
// another process: the inhibitor's call blocks the test's thread.
class LoginService : public QThread {
public:
    LoginService(QString address, bool answer) : address_(std::move(address)), answer_(answer) {}
    ~LoginService() override {
        quit();
        wait();
    }
    bool startAndRegister() {
        start();
        QDeadlineTimer deadline(10000);
        while (!registered_ && !failed_ && !deadline.hasExpired()) {
            QThread::msleep(5);
        }
        return registered_;
    }
    LoginManager* manager() const { return manager_.get(); }

protected:
    void run() override {
        manager_ = std::make_unique<LoginManager>(answer_);
        {
            QDBusConnection bus = QDBusConnection::connectToBus(address_, "login-service");
            if (bus.registerObject("/org/freedesktop/login1", manager_.get(),
                                   QDBusConnection::ExportAllSlots) &&
                bus.registerService("org.freedesktop.login1")) {
                registered_ = true;
                exec();
            } else {
                failed_ = true;
            }
        }
        QDBusConnection::disconnectFromBus("login-service");
    }

private:
    QString address_;
    bool answer_;
    std::unique_ptr<LoginManager> manager_;
    std::atomic<bool> registered_{false};
    std::atomic<bool> failed_{false};
};

// Whether the reading end sees every writer gone, waiting at most a while.
bool writersGone(int readEnd) {
    pollfd entry{readEnd, POLLIN, 0};
    return ::poll(&entry, 1, 5000) == 1 && (entry.revents & POLLHUP);
}

bool writersPresent(int readEnd) {
    pollfd entry{readEnd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 0;
}

class SuspendInhibitorOnPrivateBus : public testing::Test {
protected:
    void SetUp() override {
        if (bus.address().isEmpty()) {
            GTEST_SKIP() << "dbus-daemon not available";
        }
    }
    QDBusConnection client() const {
        return QDBusConnection::connectToBus(bus.address(), "inhibitor-client");
    }
    void TearDown() override { QDBusConnection::disconnectFromBus("inhibitor-client"); }

    PrivateBus bus;
};

} // namespace

TEST(SuspendInhibitor, WithoutASystemBusHoldsNothingQuicklyAndSilently) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // The system bus is looked for at this address only; nothing listens there.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QFile::encodeName(dir.filePath("none")));
    MessageCatcher messages;
    QElapsedTimer clock;
    clock.start();
    {
        SuspendInhibitor inhibitor;
        EXPECT_FALSE(inhibitor.held());
    }
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_EQ(messages.count(), 0);
}

TEST(SuspendInhibitor, ABusThatCannotBeReachedHoldsNothing) {
    MessageCatcher messages;
    const QDBusConnection bus =
        QDBusConnection::connectToBus("unix:path=/nonexistent/velmora-bus", "unreachable");
    {
        SuspendInhibitor inhibitor(bus);
        EXPECT_FALSE(inhibitor.held());
    }
    QDBusConnection::disconnectFromBus("unreachable");
    EXPECT_EQ(messages.count(), 0);
}

TEST_F(SuspendInhibitorOnPrivateBus, TakesASleepLockAndReleasesItAtTheEnd) {
    LoginService service(bus.address(), true);
    ASSERT_TRUE(service.startAndRegister());
    MessageCatcher messages;
    int readEnd = -1;
    {
        SuspendInhibitor inhibitor(client());
        ASSERT_TRUE(inhibitor.held());
        ASSERT_EQ(service.manager()->calls(), 1);
        const LoginManager::Call call = service.manager()->lastCall();
        EXPECT_EQ(call.what, "sleep");
        EXPECT_EQ(call.mode, "block");
        EXPECT_FALSE(call.who.isEmpty());
        EXPECT_FALSE(call.why.isEmpty());
        readEnd = service.manager()->readEnd();
        ASSERT_GE(readEnd, 0);
        // Only the inhibitor's copy may keep the lock once the reply is delivered.
        QDeadlineTimer settle(200);
        while (!settle.hasExpired()) {
            QThread::msleep(10);
        }
        EXPECT_TRUE(writersPresent(readEnd)) << "the lock was let go while held";
    }
    EXPECT_TRUE(writersGone(readEnd)) << "the lock outlived the inhibitor";
    EXPECT_EQ(messages.count(), 0);
}

TEST_F(SuspendInhibitorOnPrivateBus, ABusWithoutALoginManagerHoldsNothing) {
    MessageCatcher messages;
    SuspendInhibitor inhibitor(client());
    EXPECT_FALSE(inhibitor.held());
    EXPECT_EQ(messages.count(), 0);
}

TEST_F(SuspendInhibitorOnPrivateBus, ALoginManagerThatNeverAnswersIsGivenUpOn) {
    LoginService service(bus.address(), false);
    ASSERT_TRUE(service.startAndRegister());
    MessageCatcher messages;
    SuspendInhibitor inhibitor(client(), 100ms);
    EXPECT_FALSE(inhibitor.held());
    EXPECT_EQ(service.manager()->calls(), 1);
    EXPECT_EQ(messages.count(), 0);
}

#include "suspend_inhibitor_test.moc"
