#include "serial/open_device.h"

#include "serial/wire_tap.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace velmora::detail {
namespace {

using Clock = std::chrono::steady_clock;

// Open devices of this process by resolved path.
std::mutex registryMutex;
std::map<std::string, std::weak_ptr<OpenDevice>>& registry() {
    static std::map<std::string, std::weak_ptr<OpenDevice>> devices;
    return devices;
}

// Devices still open when the application object goes away are closed then,
// while Qt can still release them properly.
void closeAllDevices() {
    std::vector<std::shared_ptr<OpenDevice>> open;
    {
        std::lock_guard lock(registryMutex);
        for (auto& [path, weak] : registry()) {
            if (auto device = weak.lock()) {
                open.push_back(device);
            }
        }
    }
    for (auto& device : open) {
        device->shutDown();
    }
}

std::string resolvedPath(const std::string& path) {
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::canonical(path, error);
    return error ? path : resolved.string();
}

QSerialPort::Parity qtParity(char parity) {
    switch (parity) {
    case 'e':
        return QSerialPort::EvenParity;
    case 'o':
        return QSerialPort::OddParity;
    case 'm':
        return QSerialPort::MarkParity;
    case 's':
        return QSerialPort::SpaceParity;
    default:
        return QSerialPort::NoParity;
    }
}

QSerialPort::StopBits qtStopBits(int tenths) {
    return tenths == 20   ? QSerialPort::TwoStop
           : tenths == 15 ? QSerialPort::OneAndHalfStop
                          : QSerialPort::OneStop;
}

// Time the line needs for count bytes at baud (ten bits a byte).
std::chrono::milliseconds lineTime(long long count, int baud) {
    return std::chrono::milliseconds(count * 10000 / std::max(baud, 1));
}

} // namespace

struct OpenDevice::Impl {
    std::string path;
    QSerialPort* port = nullptr;
    // Holders in the order their settings were applied; the last one's are in force.
    std::vector<std::pair<Holder, LineSettings>> holders;
    LineSettings inForce;

    bool alive() const { return port != nullptr && port->isOpen(); }

    bool applyToPort(const LineSettings& settings) {
        bool ok = port->setBaudRate(settings.baud) &&
                  port->setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits)) &&
                  port->setParity(qtParity(settings.parity)) &&
                  port->setStopBits(qtStopBits(settings.stopBitsTenths)) &&
                  port->setFlowControl(QSerialPort::NoFlowControl);
        port->clearError();
        return ok;
    }

    bool apply(const LineSettings& settings) {
        if (!alive()) {
            return false;
        }
        if (settings == inForce) {
            return true;
        }
        drainOutput();
        if (applyToPort(settings)) {
            inForce = settings;
            return true;
        }
        applyToPort(inForce);
        return false;
    }

    // Closes without draining: the device is gone, or was never set up.
    void drop() {
        if (port != nullptr) {
            port->close();
            delete port;
            port = nullptr;
        }
    }

    // Lets output the driver still holds reach the line, so that closing the
    // device or changing its rate does not cut it off. Bounded by the line
    // time of what is queued.
    void drainOutput() {
        int pending = 0;
        int fd = static_cast<int>(port->handle());
        if (::ioctl(fd, TIOCOUTQ, &pending) != 0 || pending <= 0) {
            return;
        }
        Clock::time_point deadline =
            Clock::now() + std::min<std::chrono::milliseconds>(std::chrono::milliseconds(200) +
                                                                   lineTime(pending, inForce.baud),
                                                               std::chrono::seconds(5));
        while (::ioctl(fd, TIOCOUTQ, &pending) == 0 && pending > 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void drainAndClose() {
        if (alive()) {
            drainOutput();
        }
        drop();
    }

    void closeIfGone(QSerialPort::SerialPortError error) {
        if (alive() && (error == QSerialPort::ResourceError ||
                        (pollNow(0) & (POLLHUP | POLLERR | POLLNVAL)) != 0)) {
            port->close();
        }
    }

    // A hung-up or failed device is closed at once; true while it is usable.
    bool checkHealth(short revents) {
        if (!alive()) {
            drop();
            return false;
        }
        if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ||
            port->error() == QSerialPort::ResourceError) {
            drop();
            return false;
        }
        if (port->error() != QSerialPort::NoError) {
            port->clearError(); // line errors are dropped unseen
        }
        return true;
    }

    short pollNow(short events, int timeoutMs = 0) {
        pollfd entry{static_cast<int>(port->handle()), events, 0};
        if (::poll(&entry, 1, timeoutMs) <= 0) {
            return 0;
        }
        return entry.revents;
    }

    // Moves what the driver holds into the port's queue.
    bool pull(short revents) {
        if (!checkHealth(revents)) {
            return false;
        }
        if ((revents & POLLIN) != 0) {
            port->waitForReadyRead(0);
            return checkHealth(0);
        }
        return true;
    }

    // Writes straight to the device, bounded by the deadline. Bytes go out on
    // the descriptor rather than through the port's own write queue: the
    // bound is exact, nothing is left queued after it runs out, and no write
    // notifier is needed.
    void writeAll(const std::uint8_t* bytes, int count, Clock::time_point deadline) {
        int fd = static_cast<int>(port->handle());
        int written = 0;
        struct Tap { // what reached the line, whichever way the loop ends
            Impl& device;
            const std::uint8_t* bytes;
            int& written;
            ~Tap() {
                tapWire(device.path, WireDirection::Sent, device.inForce.baud, bytes, written);
            }
        } tap{*this, bytes, written};
        while (written < count) {
            ssize_t n = ::write(fd, bytes + written, static_cast<std::size_t>(count - written));
            if (n > 0) {
                written += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                checkHealth(pollNow(0));
                return;
            }
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return; // the line is held: the rest counts as not written
            }
            pollfd entry{fd, POLLOUT, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count())) > 0 &&
                !checkHealth(entry.revents)) {
                return;
            }
        }
    }

    bool open(const std::string& devicePath, const LineSettings& settings) {
        path = devicePath;
        port = new QSerialPort();
        // Where an event loop runs, the port reads on its own; a device that
        // vanishes then makes it fail on every pass of the loop. Close it as
        // soon as the loop is back, outside the port's own signal.
        QObject::connect(
            port, &QSerialPort::errorOccurred, port, [this](QSerialPort::SerialPortError error) {
                if (error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
                    error == QSerialPort::WriteError) {
                    QMetaObject::invokeMethod(
                        port, [this, error] { closeIfGone(error); }, Qt::QueuedConnection);
                }
            });
        port->setPortName(QString::fromStdString(devicePath));
        port->setBaudRate(settings.baud);
        port->setDataBits(static_cast<QSerialPort::DataBits>(settings.dataBits));
        port->setParity(qtParity(settings.parity));
        port->setStopBits(qtStopBits(settings.stopBitsTenths));
        port->setFlowControl(QSerialPort::NoFlowControl);
        port->setReadBufferSize(0); // the port's own queue grows as needed
        if (!port->open(QIODevice::ReadWrite)) {
            drop();
            return false;
        }
        int fd = static_cast<int>(port->handle());
        // The lock file keeps out programs that look for it; the exclusive
        // flag and the file lock keep out the others and any second path to
        // the same device.
        ::ioctl(fd, TIOCEXCL);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            drop();
            return false;
        }
        setLowLatency(fd);
        inForce = settings;
        return true;
    }

    // USB-serial adapters otherwise hold received bytes for up to 16 ms.
    // Drivers that have no such mode (pseudo-terminals) refuse; that is fine.
    static void setLowLatency(int fd) {
#ifdef __linux__
        serial_struct serial{};
        if (::ioctl(fd, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
            serial.flags |= ASYNC_LOW_LATENCY;
            ::ioctl(fd, TIOCSSERIAL, &serial);
        }
#else
        (void)fd;
#endif
    }
};

OpenDevice::OpenDevice() : d(std::make_unique<Impl>()) {}

OpenDevice::~OpenDevice() {
    d->drainAndClose();
}

std::shared_ptr<OpenDevice> OpenDevice::acquire(const std::string& path, Holder holder,
                                                const LineSettings& settings) {
    if (path.empty()) {
        return nullptr;
    }
    static std::once_flag closeAtExit;
    std::call_once(closeAtExit, [] { qAddPostRoutine(closeAllDevices); });

    std::string resolved = resolvedPath(path);
    std::lock_guard lock(registryMutex);
    auto& devices = registry();
    auto found = devices.find(resolved);
    if (found != devices.end()) {
        if (auto device = found->second.lock(); device && device->isOpen()) {
            auto& holders = device->d->holders;
            bool held = std::any_of(holders.begin(), holders.end(),
                                    [holder](const auto& entry) { return entry.first == holder; });
            if (held || !device->d->apply(settings)) {
                return nullptr;
            }
            holders.emplace_back(holder, settings);
            return device;
        }
    }
    auto device = std::make_shared<OpenDevice>();
    if (!device->d->open(resolved, settings)) {
        return nullptr;
    }
    device->d->holders.emplace_back(holder, settings);
    devices[resolved] = device;
    // Forget devices nobody holds any more.
    std::erase_if(devices, [](const auto& entry) { return entry.second.expired(); });
    return device;
}

void OpenDevice::release(Holder holder) {
    auto& holders = d->holders;
    std::erase_if(holders, [holder](const auto& entry) { return entry.first == holder; });
    if (!holders.empty() && d->alive() && !(holders.back().second == d->inForce)) {
        d->apply(holders.back().second);
    }
}

bool OpenDevice::applySettings(Holder holder, const LineSettings& settings) {
    if (!d->apply(settings)) {
        return false;
    }
    auto& holders = d->holders;
    std::erase_if(holders, [holder](const auto& entry) { return entry.first == holder; });
    holders.emplace_back(holder, settings);
    return true;
}

bool OpenDevice::isUsable() {
    return d->checkHealth(0);
}

bool OpenDevice::isOpen() {
    return d->checkHealth(d->alive() ? d->pollNow(0) : 0);
}

const std::string& OpenDevice::path() const {
    return d->path;
}

void OpenDevice::writeByte(std::uint8_t value) {
    if (d->alive()) {
        d->writeAll(&value, 1, Clock::now() + std::chrono::milliseconds(1000));
    }
}

void OpenDevice::writeBlock(const std::uint8_t* bytes, int count) {
    if (d->alive() && count > 0) {
        d->writeAll(bytes, count,
                    Clock::now() + std::chrono::milliseconds(1000) +
                        lineTime(count, d->inForce.baud));
    }
}

int OpenDevice::bytesWaiting() {
    if (!d->alive() || !d->pull(d->pollNow(POLLIN))) {
        return 0;
    }
    return static_cast<int>(std::min<qint64>(d->port->bytesAvailable(), 0x7FFFFFFF));
}

int OpenDevice::read(std::uint8_t* buffer, int limit) {
    int waiting = bytesWaiting();
    if (waiting <= 0 || limit <= 0) {
        return 0;
    }
    qint64 got = d->port->read(reinterpret_cast<char*>(buffer), std::min(waiting, limit));
    if (got <= 0) {
        return 0;
    }
    tapWire(d->path, WireDirection::Received, d->inForce.baud, buffer, static_cast<int>(got));
    return static_cast<int>(got);
}

bool OpenDevice::waitForInput(long long microseconds) {
    if (!d->alive()) {
        return false;
    }
    if (d->port->bytesAvailable() > 0) {
        return true;
    }
    pollfd entry{static_cast<int>(d->port->handle()), POLLIN, 0};
    long long wait = std::max(microseconds, 0LL);
    timespec timeout{static_cast<time_t>(wait / 1000000), static_cast<long>(wait % 1000000) * 1000};
    short revents = 0;
    if (::ppoll(&entry, 1, &timeout, nullptr) > 0) {
        revents = entry.revents;
    }
    return d->pull(revents) && d->port->bytesAvailable() > 0;
}

bool OpenDevice::setDataTerminalReady(bool raised) {
    if (!d->alive()) {
        return false;
    }
    bool ok = d->port->setDataTerminalReady(raised);
    d->port->clearError();
    return ok;
}

bool OpenDevice::setRequestToSend(bool raised) {
    if (!d->alive()) {
        return false;
    }
    bool ok = d->port->setRequestToSend(raised);
    d->port->clearError();
    return ok;
}

void OpenDevice::shutDown() {
    d->drainAndClose();
}

} // namespace velmora::detail
