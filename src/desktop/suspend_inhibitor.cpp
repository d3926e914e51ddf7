#include "desktop/suspend_inhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QVariant>
#include <fcntl.h>
#include <unistd.h>

namespace velmora::desktop {
namespace {

constexpr const char* loginService = "org.freedesktop.login1";
constexpr const char* loginPath = "/org/freedesktop/login1";
constexpr const char* loginManager = "org.freedesktop.login1.Manager";

// The names logind lists for the lock (systemd-inhibit --list).
constexpr const char* lockWho = "Velmora(3062 series)";
constexpr const char* lockWhy = "A suspend would break a board's programming run";

} // namespace

SuspendInhibitor::SuspendInhibitor()
    : SuspendInhibitor(QDBusConnection::systemBus(), defaultReplyLimit) {}

SuspendInhibitor::SuspendInhibitor(const QDBusConnection& bus,
                                   std::chrono::milliseconds replyLimit) {
    if (!bus.isConnected() ||
        !(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(loginService, loginPath, loginManager,
                                                       QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QString::fromLatin1(lockWho) << QString::fromLatin1(lockWhy)
         << QStringLiteral("block");
    const QDBusMessage reply = bus.call(call, QDBus::Block, int(replyLimit.count()));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        return;
    }
    const auto descriptor = qvariant_cast<QDBusUnixFileDescriptor>(reply.arguments().front());
    if (!descriptor.isValid()) {
        return;
    }
    // Our own copy, closed on exec so that no program we start keeps the lock
    // after we end.
    lock_ = ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
}

SuspendInhibitor::~SuspendInhibitor() {
    if (lock_ >= 0) {
        ::close(lock_);
    }
}

} // namespace velmora::desktop
