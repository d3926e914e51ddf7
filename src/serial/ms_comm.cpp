#include "serial/ms_comm.h"

#include "serial/ports.h"
#include "serial/shared_port.h"

#include <algorithm>

namespace velmora {

using detail::Holder;
using detail::SharedPort;

CMSComm::CMSComm(Ports& ports)
    : ports_(&ports), closed_(detail::makeClosedTransport("the communications port")) {}

CMSComm::CMSComm()
    : ownPorts_(std::make_unique<Ports>()), ports_(ownPorts_.get()),
      closed_(detail::makeClosedTransport("the communications port")) {}

CMSComm::~CMSComm() {
    setPortOpen(false);
}

bool CMSComm::usable() const {
    return detail::holdsOpenPort(shared_, Holder::ControlLink);
}

void CMSComm::note(const Status& status) {
    detail::noteFailure(failure_, status);
}

void CMSComm::setPortName(std::string device) {
    portName_ = std::move(device);
}

std::string CMSComm::portName() const {
    return portName_.empty() ? ports_->device(1) : portName_;
}

void CMSComm::setDTREnable(bool raised) {
    dtr_ = raised;
    if (usable()) {
        note(shared_->transport().setModemLine(ModemLine::DataTerminalReady, raised));
    }
}

void CMSComm::setRTSEnable(bool raised) {
    rts_ = raised;
    if (usable()) {
        note(shared_->transport().setModemLine(ModemLine::RequestToSend, raised));
    }
}

int CMSComm::setPortOpen(bool open) {
    if (!open) {
        if (shared_) {
            shared_->release(Holder::ControlLink);
            shared_.reset();
        }
        return 1;
    }
    if (usable()) {
        return 1;
    }
    const std::string device = portName();
    closed_ = detail::makeClosedTransport(device);
    Status status;
    shared_ = SharedPort::acquire(*ports_, device, Holder::ControlLink, settings_, status);
    failure_ = status;
    if (!shared_) {
        return 0;
    }
    Transport& transport = shared_->transport();
    status = transport.setModemLine(ModemLine::DataTerminalReady, dtr_);
    if (status.ok()) {
        status = transport.setModemLine(ModemLine::RequestToSend, rts_);
    }
    if (!status.ok()) {
        failure_ = status;
        setPortOpen(false);
        return 0;
    }
    return 1;
}

bool CMSComm::portOpen() const {
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
    if (usable()) {
        Status status = shared_->applySettings(Holder::ControlLink, *parsed);
        if (!status.ok()) {
            failure_ = status;
            return 0;
        }
    }
    settings_ = *parsed;
    return 1;
}

std::string CMSComm::settings() const {
    return formatLineSettings(settings_);
}

void CMSComm::setOutput(const ByteBuffer& bytes) {
    if (usable() && !bytes.empty()) {
        note(sendWithinLineTime(shared_->transport(), bytes.data(), bytes.size(), ports_->clock()));
    }
}

short CMSComm::inBufferCount() {
    if (!usable()) {
        return 0;
    }
    return static_cast<short>(std::min<std::size_t>(shared_->transport().available(), 32767));
}

ByteBuffer CMSComm::input() {
    ByteBuffer received;
    if (!usable()) {
        return received;
    }
    received.resize(shared_->transport().available());
    std::size_t taken = 0;
    note(shared_->transport().take(received.data(), received.size(), taken));
    received.resize(taken);
    return received;
}

bool CMSComm::waitForInput(long long microseconds) {
    return usable() && detail::waitForPortInput(*shared_, microseconds, failure_, ports_->clock());
}

Transport& CMSComm::transport() {
    if (usable()) {
        return shared_->transport();
    }
    return *closed_;
}

} // namespace velmora
