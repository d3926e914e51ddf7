#include "serial/shared_port.h"

#include "serial/ports.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <mutex>
#include <utility>
#include <vector>

namespace velmora::detail {
namespace {

std::string resolvedName(const std::string& name) {
    if (name.find("://") != std::string::npos) {
        return name;
    }
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::canonical(name, error);
    return error ? name : resolved.string();
}

int tapCount(std::size_t count) {
    return static_cast<int>(std::min<std::size_t>(count, INT_MAX));
}

// Hands every byte that crosses the wire to the run's wire tap.
class TappedTransport final : public Transport {
public:
    TappedTransport(std::unique_ptr<Transport> wrapped, const Ports& runPorts)
        : inner(std::move(wrapped)), ports(runPorts) {}

    const std::string& name() const override { return inner->name(); }
    Status open(const LineSettings& settings) override { return inner->open(settings); }
    bool isOpen() const override { return inner->isOpen(); }
    Status configure(const LineSettings& settings) override { return inner->configure(settings); }
    const LineSettings& settings() const override { return inner->settings(); }
    Status send(const std::uint8_t* bytes, std::size_t count, Deadline deadline) override {
        const int baud = inner->settings().baud;
        Status status = inner->send(bytes, count, deadline);
        if (status.ok()) {
            ports.tapWire(inner->name(), WireDirection::Sent, baud, bytes, tapCount(count));
        }
        return status;
    }
    Status waitForInput(Deadline deadline) override { return inner->waitForInput(deadline); }
    std::size_t available() override { return inner->available(); }
    Status take(std::uint8_t* buffer, std::size_t limit, std::size_t& taken) override {
        Status status = inner->take(buffer, limit, taken);
        ports.tapWire(inner->name(), WireDirection::Received, inner->settings().baud, buffer,
                      tapCount(taken));
        return status;
    }
    Status drain(Deadline deadline) override { return inner->drain(deadline); }
    Status discardInput() override { return inner->discardInput(); }
    Status setModemLine(ModemLine line, bool raised) override {
        return inner->setModemLine(line, raised);
    }
    void close() override { inner->close(); }

private:
    std::unique_ptr<Transport> inner;
    const Ports& ports;
};

class ClosedTransport final : public Transport {
public:
    explicit ClosedTransport(std::string name) : name_(std::move(name)) {}

    const std::string& name() const override { return name_; }
    Status open(const LineSettings&) override { return refusal(); }
    bool isOpen() const override { return false; }
    Status configure(const LineSettings&) override { return refusal(); }
    const LineSettings& settings() const override { return settings_; }
    Status send(const std::uint8_t*, std::size_t, Deadline) override { return refusal(); }
    Status waitForInput(Deadline) override { return refusal(); }
    std::size_t available() override { return 0; }
    Status take(std::uint8_t*, std::size_t, std::size_t& taken) override {
        taken = 0;
        return refusal();
    }
    Status drain(Deadline) override { return refusal(); }
    Status discardInput() override { return refusal(); }
    Status setModemLine(ModemLine, bool) override { return refusal(); }
    void close() override {}

private:
    Status refusal() const {
        return Status::refused((name_.empty() ? std::string("the port") : name_) + " is not open");
    }
    std::string name_;
    LineSettings settings_;
};

} // namespace

struct SharedPort::Impl {
    TappedTransport transport;
    // Holders in the order their settings were applied; the last one's are in force.
    std::vector<std::pair<Holder, LineSettings>> holders;

    Impl(std::unique_ptr<Transport> inner, const Ports& ports)
        : transport(std::move(inner), ports) {}

    bool holds(Holder holder) const {
        return std::any_of(holders.begin(), holders.end(),
                           [holder](const auto& entry) { return entry.first == holder; });
    }
};

SharedPort::SharedPort(std::unique_ptr<Transport> transport, const Ports& ports)
    : d(std::make_unique<Impl>(std::move(transport), ports)) {}

SharedPort::~SharedPort() {
    d->transport.close();
}

std::shared_ptr<SharedPort> SharedPort::acquire(Ports& runPorts, const std::string& name,
                                                Holder holder, const LineSettings& settings,
                                                Status& status) {
    if (name.empty()) {
        status = Status::refused("Cannot open the port: no device is named");
        return nullptr;
    }
    const std::string resolved = resolvedName(name);
    std::lock_guard lock(runPorts.openMutex_);
    auto& ports = runPorts.open_;
    if (auto found = ports.find(resolved); found != ports.end()) {
        if (auto port = found->second.lock(); port && port->isOpen()) {
            if (port->d->holds(holder)) {
                status = Status::refused(name + " is open already");
                return nullptr;
            }
            status = port->d->transport.configure(settings);
            if (!status.ok()) {
                return nullptr;
            }
            port->d->holders.emplace_back(holder, settings);
            return port;
        }
    }
    // Found by the device it leads to, named as the operator named it: a
    // failure later says the --port path, not the /dev/pts/N behind a link.
    auto port = std::make_shared<SharedPort>(runPorts.reach(name), runPorts);
    status = port->d->transport.open(settings);
    if (!status.ok()) {
        return nullptr;
    }
    port->d->holders.emplace_back(holder, settings);
    ports[resolved] = port;
    std::erase_if(ports, [](const auto& entry) { return entry.second.expired(); });
    return port;
}

void SharedPort::release(Holder holder) {
    auto& holders = d->holders;
    std::erase_if(holders, [holder](const auto& entry) { return entry.first == holder; });
    if (!holders.empty() && d->transport.isOpen()) {
        d->transport.configure(holders.back().second);
    }
}

Status SharedPort::applySettings(Holder holder, const LineSettings& settings) {
    Status status = d->transport.configure(settings);
    if (!status.ok()) {
        return status;
    }
    auto& holders = d->holders;
    std::erase_if(holders, [holder](const auto& entry) { return entry.first == holder; });
    holders.emplace_back(holder, settings);
    return status;
}

Transport& SharedPort::transport() {
    return d->transport;
}

bool SharedPort::isOpen() const {
    return d->transport.isOpen();
}

const std::string& SharedPort::name() const {
    return d->transport.name();
}

bool holdsOpenPort(std::shared_ptr<SharedPort>& shared, Holder holder) {
    if (shared && !shared->isOpen()) {
        shared->release(holder);
        shared.reset();
    }
    return shared != nullptr;
}

bool waitForPortInput(SharedPort& port, long long microseconds, Status& lastFailure,
                      const Clock& clock) {
    Status status = port.transport().waitForInput(
        clock.now() + std::chrono::microseconds(std::max(microseconds, 0LL)));
    if (status.outcome != Outcome::TimedOut) {
        noteFailure(lastFailure, status);
    }
    return status.ok();
}

std::unique_ptr<Transport> makeClosedTransport(std::string name) {
    return std::make_unique<ClosedTransport>(std::move(name));
}

} // namespace velmora::detail
