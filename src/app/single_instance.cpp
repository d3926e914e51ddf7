#include "app/single_instance.h"

#include "app/command_line.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>
#include <unistd.h>

namespace velmora::app {

namespace {

// Where this program's settings live, and the user: the same for every start
// that shares them.
QByteArray instanceKey() {
    const QByteArray place =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toUtf8() + '\n' +
        QByteArray::number(static_cast<qulonglong>(::getuid()));
    return QCryptographicHash::hash(place, QCryptographicHash::Sha1).toHex().left(16);
}

constexpr const char* interfaceName = "org.velmora.Velmora";

} // namespace

QString SingleInstance::serviceName() {
    return QStringLiteral("org.velmora.Velmora.i") + QString::fromLatin1(instanceKey());
}

QString SingleInstance::socketName() {
    return QStringLiteral("velmora-") + QString::fromLatin1(instanceKey());
}

bool SingleInstance::handOver(const QString& file, int timeoutMs) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface() &&
        bus.interface()->isServiceRegistered(serviceName()).value()) {
        QDBusMessage call = QDBusMessage::createMethodCall(serviceName(), objectPath(),
                                                           QString::fromLatin1(interfaceName),
                                                           QStringLiteral("open"));
        call << file;
        const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage) {
            return true;
        }
    }
    QLocalSocket socket;
    socket.connectToServer(socketName());
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    socket.write(file.toUtf8() + '\n');
    if (!socket.waitForBytesWritten(timeoutMs)) {
        return false;
    }
    // The running window answers once it has taken the file.
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) {
            return false;
        }
    }
    return socket.readLine().trimmed() == "ok";
}

bool SingleInstance::handOverStart(const QStringList& arguments) {
    const CommandLineInfo request = CommandLineInfo::parse(arguments);
    switch (request.shellCommand) {
    case CommandLineInfo::FileOpen:
        return handOver(QFileInfo(request.fileName).absoluteFilePath());
    case CommandLineInfo::FileNew:
    case CommandLineInfo::FileDde:
        return handOver(QString());
    default:
        return false;
    }
}

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {
    connect(&server, &QLocalServer::newConnection, this, &SingleInstance::serveConnection);
}

SingleInstance::~SingleInstance() {
    if (busName) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterObject(objectPath());
        bus.unregisterService(serviceName());
    }
}

bool SingleInstance::listen() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() &&
        bus.registerObject(objectPath(), this, QDBusConnection::ExportScriptableSlots)) {
        busName = bus.registerService(serviceName());
        if (!busName) {
            bus.unregisterObject(objectPath());
        }
    }
    // The socket also serves starts that reach no bus. One left by a program
    // that ended without closing it answers nobody: take its place.
    server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server.listen(socketName())) {
        QLocalSocket probe;
        probe.connectToServer(socketName());
        if (!probe.waitForConnected(200)) {
            QLocalServer::removeServer(socketName());
            server.listen(socketName());
        }
    }
    return busName || server.isListening();
}

void SingleInstance::open(const QString& file) {
    take(file, Way::Bus);
}

void SingleInstance::take(const QString& file, Way came) {
    way = came;
    // Answered at once: the file is opened once the caller has its answer.
    QTimer::singleShot(0, this, [this, file] { emit fileHandedOver(file); });
}

void SingleInstance::serveConnection() {
    while (QLocalSocket* socket = server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            if (!socket->canReadLine()) {
                return;
            }
            const QString file = QString::fromUtf8(socket->readLine()).chopped(1);
            socket->write("ok\n");
            socket->disconnectFromServer();
            take(file, Way::Socket);
        });
    }
}

} // namespace velmora::app
