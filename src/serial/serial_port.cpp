#include "serial/serial_port.h"

#include "serial/port_names.h"
#include "serial/ports.h"
#include "serial/shared_port.h"

#include <algorithm>

namespace velmora {

using detail::Holder;
using detail::SharedPort;

SerialPort::SerialPort(Ports& ports)
    : ports_(&ports), closed_(detail::makeClosedTransport("the serial port")) {}

SerialPort::SerialPort()
    : ownPorts_(std::make_unique<Ports>()), ports_(ownPorts_.get()),
      closed_(detail::makeClosedTransport("the serial port")) {}

SerialPort::~SerialPort() {
    close();
}

bool SerialPort::usable() {
    return detail::holdsOpenPort(shared_, Holder::DirectPort);
}

void SerialPort::note(const Status& status) {
    detail::noteFailure(failure_, status);
}

int SerialPort::open(int port, int baud) {
    return open(ports_->device(port), baud);
}

int SerialPort::open(const std::string& device, int baud) {
    if (usable()) {
        return 1;
    }
    closed_ = detail::makeClosedTransport(device);
    if (baud <= 0) {
        failure_ = Status::refused("Cannot open " + device + ": no line rate given");
        return 0;
    }
    LineSettings settings;
    settings.baud = baud;
    Status status;
    shared_ = SharedPort::acquire(*ports_, device, Holder::DirectPort, settings, status);
    failure_ = status;
    return shared_ ? 1 : 0;
}

int SerialPort::close() {
    if (shared_) {
        shared_->release(Holder::DirectPort);
        shared_.reset();
    }
    return 1;
}

int SerialPort::send(const char* bytes, int count) {
    if (!usable() || count <= 0 || bytes == nullptr) {
        return 0;
    }
    // Byte by byte, each its own bounded write; every byte counts whatever
    // became of it, and the first failure is kept for the caller.
    for (int index = 0; index < count; ++index) {
        sendByte(static_cast<unsigned char>(bytes[index]));
    }
    return count;
}

int SerialPort::send(const std::uint8_t* bytes, int count) {
    return send(reinterpret_cast<const char*>(bytes), count);
}

int SerialPort::sendByte(unsigned char value) {
    if (usable()) {
        note(sendWithinLineTime(shared_->transport(), &value, 1, ports_->clock()));
    }
    return 1;
}

int SerialPort::bytesWaiting() {
    if (!usable()) {
        return 0;
    }
    return static_cast<int>(std::min<std::size_t>(shared_->transport().available(), 0x7FFFFFFF));
}

int SerialPort::receive(void* buffer, int limit) {
    if (!usable() || buffer == nullptr || limit <= 0) {
        return 0;
    }
    std::size_t taken = 0;
    note(shared_->transport().take(static_cast<std::uint8_t*>(buffer),
                                   static_cast<std::size_t>(limit), taken));
    return static_cast<int>(taken);
}

bool SerialPort::waitForInput(long long microseconds) {
    return usable() && detail::waitForPortInput(*shared_, microseconds, failure_, ports_->clock());
}

bool SerialPort::isOpen() {
    return usable();
}

std::string SerialPort::device() {
    return usable() ? shared_->name() : std::string();
}

Transport& SerialPort::transport() {
    if (usable()) {
        return shared_->transport();
    }
    return *closed_;
}

} // namespace velmora
