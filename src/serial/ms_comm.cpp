#include "serial/ms_comm.h"

#include "serial/open_device.h"
#include "serial/port_names.h"

#include <algorithm>

namespace velmora {

using detail::Holder;
using detail::OpenDevice;

CMSComm::CMSComm() = default;

CMSComm::~CMSComm() {
    setPortOpen(false);
}

bool CMSComm::usable() const {
    if (openDevice_ && !openDevice_->isUsable()) {
        // The device went away: the link counts as closed from now on.
        openDevice_->release(Holder::ControlLink);
        openDevice_.reset();
    }
    return openDevice_ != nullptr;
}

void CMSComm::setPortName(std::string device) {
    portName_ = std::move(device);
}

std::string CMSComm::portName() const {
    return portName_.empty() ? portDevice(1) : portName_;
}

void CMSComm::setDTREnable(bool raised) {
    dtr_ = raised;
    if (usable()) {
        openDevice_->setDataTerminalReady(raised);
    }
}

void CMSComm::setRTSEnable(bool raised) {
    rts_ = raised;
    if (usable()) {
        openDevice_->setRequestToSend(raised);
    }
}

int CMSComm::setPortOpen(bool open) {
    if (!open) {
        if (openDevice_) {
            openDevice_->release(Holder::ControlLink);
            openDevice_.reset();
        }
        return 1;
    }
    if (usable()) {
        return 1;
    }
    openDevice_ = OpenDevice::acquire(portName(), Holder::ControlLink, settings_);
    if (!openDevice_) {
        return 0;
    }
    openDevice_->setDataTerminalReady(dtr_);
    openDevice_->setRequestToSend(rts_);
    return 1;
}

bool CMSComm::portOpen() const {
    if (openDevice_ && !openDevice_->isOpen()) {
        openDevice_->release(Holder::ControlLink);
        openDevice_.reset();
    }
    return usable();
}

void CMSComm::setInputMode(int mode) {
    if (mode == inputModeText || mode == inputModeBinary) {
        inputMode_ = mode;
    }
}

int CMSComm::inputMode() const {
    return inputMode_;
}

int CMSComm::setSettings(std::string_view text) {
    std::optional<LineSettings> parsed = parseLineSettings(text);
    if (!parsed) {
        return 0;
    }
    if (usable() && !openDevice_->applySettings(Holder::ControlLink, *parsed)) {
        return 0;
    }
    settings_ = *parsed;
    return 1;
}

std::string CMSComm::settings() const {
    return formatLineSettings(settings_);
}

void CMSComm::setOutput(const ByteBuffer& bytes) {
    send(bytes.data(), static_cast<int>(std::min<std::size_t>(bytes.size(), 0x7FFFFFFF)));
}

short CMSComm::inBufferCount() {
    return static_cast<short>(std::min(bytesWaiting(), 32767));
}

ByteBuffer CMSComm::input() {
    ByteBuffer received;
    int waiting = bytesWaiting();
    if (waiting <= 0) {
        return received;
    }
    received.resize(static_cast<std::size_t>(waiting));
    int got = openDevice_->read(received.data(), waiting);
    received.resize(static_cast<std::size_t>(std::max(got, 0)));
    return received;
}

int CMSComm::send(const std::uint8_t* bytes, int count) {
    if (!usable() || bytes == nullptr || count <= 0) {
        return 0;
    }
    openDevice_->writeBlock(bytes, count);
    return count;
}

int CMSComm::bytesWaiting() {
    return usable() ? openDevice_->bytesWaiting() : 0;
}

int CMSComm::receive(std::uint8_t* buffer, int limit) {
    if (!usable() || buffer == nullptr || limit <= 0) {
        return 0;
    }
    return openDevice_->read(buffer, limit);
}

bool CMSComm::waitForInput(long long microseconds) {
    return usable() && openDevice_->waitForInput(microseconds);
}

} // namespace velmora
