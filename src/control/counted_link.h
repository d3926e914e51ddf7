#pragma once

#include "serial/transport.h"

namespace velmora {

// A transport seen through a counter: every call goes to the transport it is
// pointed at, and the bytes that crossed are added to the counts it is given.
// The programming control points one at each link a run drives, so the run's
// record says what went over the wire.
class CountedLink : public Transport {
public:
    CountedLink(long long& sentCount, long long& receivedCount)
        : sent(&sentCount), received(&receivedCount) {}

    // The transport the next calls go to; returns this link.
    CountedLink& over(Transport& transport) {
        target = &transport;
        return *this;
    }

    const std::string& name() const override { return target->name(); }
    Status open(const LineSettings& settings) override { return target->open(settings); }
    bool isOpen() const override { return target->isOpen(); }
    Status configure(const LineSettings& settings) override { return target->configure(settings); }
    const LineSettings& settings() const override { return target->settings(); }
    Status send(const std::uint8_t* bytes, std::size_t count, Deadline deadline) override {
        Status status = target->send(bytes, count, deadline);
        if (status.ok()) {
            *sent += static_cast<long long>(count);
        }
        return status;
    }
    Status waitForInput(Deadline deadline) override { return target->waitForInput(deadline); }
    std::size_t available() override { return target->available(); }
    Status take(std::uint8_t* buffer, std::size_t limit, std::size_t& taken) override {
        taken = 0;
        Status status = target->take(buffer, limit, taken);
        *received += static_cast<long long>(taken);
        return status;
    }
    Status drain(Deadline deadline) override { return target->drain(deadline); }
    Status discardInput() override { return target->discardInput(); }
    Status setModemLine(ModemLine line, bool raised) override {
        return target->setModemLine(line, raised);
    }
    void close() override { target->close(); }

private:
    Transport* target = nullptr;
    long long* sent;
    long long* received;
};

} // namespace velmora
