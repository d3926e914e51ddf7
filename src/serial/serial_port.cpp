#include "serial/serial_port.h"

#include "serial/open_device.h"
#include "serial/port_names.h"

namespace velmora {

using detail::Holder;
using detail::OpenDevice;

SerialPort::SerialPort() = default;

SerialPort::~SerialPort() {
    close();
}

bool SerialPort::usable() {
    if (openDevice_ && !openDevice_->isUsable()) {
        // The device went away under us: act as closed, and let go of it so
        // the next open can start afresh.
        openDevice_->release(Holder::DirectPort);
        openDevice_.reset();
    }
    return openDevice_ != nullptr;
}

int SerialPort::open(int port, int baud) {
    return open(portDevice(port), baud);
}

int SerialPort::open(const std::string& device, int baud) {
    if (usable()) {
        return 1;
    }
    if (baud <= 0) {
        return 0;
    }
    LineSettings settings;
    settings.baud = baud;
    openDevice_ = OpenDevice::acquire(device, Holder::DirectPort, settings);
    return openDevice_ ? 1 : 0;
}

int SerialPort::close() {
    if (openDevice_) {
        openDevice_->release(Holder::DirectPort);
        openDevice_.reset();
    }
    return 1;
}

int SerialPort::send(const char* bytes, int count) {
    if (!usable() || count <= 0 || bytes == nullptr) {
        return 0;
    }
    int handed = 0;
    for (int index = 0; index < count; ++index) {
        sendByte(static_cast<unsigned char>(bytes[index]));
        ++handed;
    }
    return handed;
}

int SerialPort::send(const std::uint8_t* bytes, int count) {
    return send(reinterpret_cast<const char*>(bytes), count);
}

int SerialPort::sendByte(unsigned char value) {
    if (usable()) {
        openDevice_->writeByte(value);
    }
    return 1;
}

int SerialPort::bytesWaiting() {
    return usable() ? openDevice_->bytesWaiting() : 0;
}

int SerialPort::receive(void* buffer, int limit) {
    if (!usable() || buffer == nullptr || limit <= 0) {
        return 0;
    }
    return openDevice_->read(static_cast<std::uint8_t*>(buffer), limit);
}

int SerialPort::receive(std::uint8_t* buffer, int limit) {
    return receive(static_cast<void*>(buffer), limit);
}

bool SerialPort::waitForInput(long long microseconds) {
    return usable() && openDevice_->waitForInput(microseconds);
}

bool SerialPort::isOpen() {
    if (openDevice_ && !openDevice_->isOpen()) {
        close();
    }
    return usable();
}

std::string SerialPort::device() {
    return usable() ? openDevice_->path() : std::string();
}

SerialPort& theSerialPort() {
    static SerialPort port;
    return port;
}

} // namespace velmora
