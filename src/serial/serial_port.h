#pragma once

#include "serial/transport.h"

#include <cstdint>
#include <memory>
#include <string>

namespace velmora {

class Ports;
namespace detail {
class SharedPort;
}

// The directly driven serial port: opened on a port number or a device path at
// a rate, 8 data bits, no parity, 1 stop bit, raw, no flow control. Operations
// return 1 or 0 and never throw; lastFailure() keeps the system's reason for
// the last call that failed, for the caller to name it.
//
// The device is held exclusively against other programs. When the
// communications control link of the same run (the same Ports) has the same
// device open, the two share it:
// opening the direct port then puts its rate in force, and closing it gives the
// control link its own settings back without closing the device under it.
class SerialPort {
public:
    // Port numbers, shared devices and the wire tap are those of `ports`,
    // which must outlive the port.
    explicit SerialPort(Ports& ports);
    // A port of its own, sharing nothing.
    SerialPort();
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // 1 when the port is open (also when it was open already: then it keeps its
    // device and rate whatever is asked now), 0 when the device can't be
    // opened and configured.
    int open(int port, int baud);
    int open(const std::string& device, int baud);
    // Lets queued output reach the line, then releases the device. Always 1.
    int close();
    // Hands count bytes to the line one by one, each bounded by its line time
    // and 1000 ms; count when open and count > 0, else 0. A write that fails or
    // runs out its time still counts; lastFailure() says what became of it.
    int send(const char* bytes, int count);
    int send(const std::uint8_t* bytes, int count);
    // Writes one byte (bounded); always 1.
    int sendByte(unsigned char value);
    // Received bytes queued; 0 when closed.
    int bytesWaiting();
    // Up to limit queued bytes, without waiting for the line; the rest stays
    // queued. 0 when closed or nothing is queued.
    int receive(void* buffer, int limit);
    // Waits at most the given microseconds for input; true when bytes wait.
    bool waitForInput(long long microseconds);

    bool isOpen();
    // The resolved path of the open device; empty when closed.
    std::string device();

    // The transport the exchanges drive. While the port is closed it refuses
    // every call, naming the device.
    Transport& transport();
    // Why the last call that failed did; Done when none has failed since the open.
    const Status& lastFailure() const { return failure_; }
    // The run's ports this port belongs to.
    Ports& ports() const { return *ports_; }

private:
    std::unique_ptr<Ports> ownPorts_;
    Ports* ports_;
    std::shared_ptr<detail::SharedPort> shared_;
    std::unique_ptr<Transport> closed_;
    Status failure_;

    // True while the port is open; lets go of a device that went away.
    bool usable();
    void note(const Status& status);
};

} // namespace velmora
