#include "serial/ports.h"

#include "serial/port_names.h"
#include "serial/shared_port.h"

namespace velmora {

Ports::Ports() : Ports(makeTransport, steadyClock()) {}

Ports::Ports(Opener opener, Clock& clock) : opener_(std::move(opener)), clock_(&clock) {}

Ports::~Ports() = default;

std::string Ports::device(int port) const {
    {
        std::lock_guard lock(assignedMutex_);
        if (auto found = assigned_.find(port); found != assigned_.end()) {
            return found->second;
        }
    }
    return portDevice(port);
}

void Ports::assign(int port, std::string device) {
    std::lock_guard lock(assignedMutex_);
    if (device.empty()) {
        assigned_.erase(port);
    } else {
        assigned_[port] = std::move(device);
    }
}

std::string Ports::resolve(std::string_view numberOrPath) const {
    return resolvePort(numberOrPath, [this](int port) { return device(port); });
}

void Ports::setWireObserver(WireObserver observer) {
    std::lock_guard lock(observerMutex_);
    observer_ = std::move(observer);
}

void Ports::tapWire(const std::string& device, WireDirection direction, int baud,
                    const std::uint8_t* bytes, int count) const {
    if (count <= 0) {
        return;
    }
    std::lock_guard lock(observerMutex_);
    if (observer_) {
        observer_(device, direction, baud, bytes, count);
    }
}

} // namespace velmora
