#pragma once

#include "core/link.h"

#include <cstdint>
#include <memory>
#include <string>

namespace velmora {

namespace detail {
class OpenDevice;
}

// The directly driven serial port: opened on a port number or a device path at
// a rate, 8 data bits, no parity, 1 stop bit, raw, no flow control. Operations
// return 1 or 0 and never throw; failures come back as results only.
//
// The device is held exclusively against other programs. When the
// communications control link has the same device open, the two share it:
// opening the direct port then puts its rate in force, and closing it gives the
// control link its own settings back without closing the device under it.
//
// The process needs a QCoreApplication, and a port is opened from the main
// thread or a QThread (the device is watched with Qt's socket notifiers).
class SerialPort : public Link {
public:
    SerialPort();
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // 1 when the port is open (also when it was open already: then it keeps its
    // device and rate whatever is asked now), 0 when the device can't be
    // opened and configured.
    int open(int port, int baud);
    int open(const std::string& device, int baud);
    // Lets queued output reach the line, then releases the device. Always 1.
    int close();
    // Hands count bytes to the device one by one; count when open and count > 0,
    // else 0. A byte whose write fails or runs out its 1000 ms still counts.
    int send(const char* bytes, int count);
    int send(const std::uint8_t* bytes, int count) override;
    // Writes one byte (bounded); always 1.
    int sendByte(unsigned char value);
    // Received bytes queued; 0 when closed. Line errors are dropped unseen.
    int bytesWaiting() override;
    // Up to limit queued bytes, without waiting for the line; the rest stays
    // queued. 0 when closed or nothing is queued.
    int receive(void* buffer, int limit);
    int receive(std::uint8_t* buffer, int limit) override;
    bool waitForInput(long long microseconds) override;

    bool isOpen();
    // The resolved path of the open device; empty when closed.
    std::string device();

private:
    std::shared_ptr<detail::OpenDevice> openDevice_;
    // True while a held device is usable; drops a vanished one.
    bool usable();
};

// The one direct port of the process.
SerialPort& theSerialPort();

} // namespace velmora
