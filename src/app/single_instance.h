#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace velmora::app {

// One running window per user and settings: a second start hands the file
// it was given to the running window, over the session bus, or over a local
// socket where there is no bus, and ends. Programs that keep their settings
// elsewhere (a test's own home) are separate instances.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.velmora.Velmora")
public:
    // The bus name and the socket name, both derived from the settings' place.
    static QString serviceName();
    static QString socketName();
    static QString objectPath() { return QStringLiteral("/Velmora"); }

    // Hands a file (empty: just show the window) to a running instance; true
    // when one took it. Waits at most `timeoutMs` for it.
    static bool handOver(const QString& file, int timeoutMs = 2000);
    // What a start with these arguments hands over: a file to open (its full
    // path) or, with none, the window to show. Print and unregister requests
    // hand nothing over. True when a running instance took it.
    static bool handOverStart(const QStringList& arguments);

    explicit SingleInstance(QObject* parent = nullptr);
    ~SingleInstance() override;

    // Serves hand-overs from now on: the bus name where a session bus is
    // reachable, and the socket. False when neither could be taken.
    bool listen();
    bool onBus() const { return busName; }
    bool onSocket() const { return server.isListening(); }
    // How the last file came: over the bus or the socket.
    enum class Way { None, Bus, Socket };
    Way lastWay() const { return way; }

public slots:
    // Called by a second start over the bus.
    Q_SCRIPTABLE void open(const QString& file);

signals:
    // A file handed over (empty: show the window).
    void fileHandedOver(const QString& file);

private:
    void serveConnection();

    void take(const QString& file, Way came);

    QLocalServer server;
    bool busName = false;
    Way way = Way::None;
};

} // namespace velmora::app
