#pragma once

#include "core/clock.h"
#include "serial/transport.h"
#include "serial/wire_tap.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace velmora {

namespace detail {
class SharedPort;
}

// The ports one run reaches and what it knows of them: which device each port
// number stands for, the ports it has open (shared by the direct port and the
// control link), who watches the bytes on their wires, how a port is reached
// and the clock their waits are read on. The object that owns a run owns its
// Ports and hands it to its SerialPort and CMSComm, which must not outlive
// it; two runs in one process keep theirs apart.
class Ports {
public:
    // How a port named by the operator is reached; not open yet.
    using Opener = std::function<std::unique_ptr<Transport>(const std::string& name)>;

    // The machine's devices and network ports, on the steady clock.
    Ports();
    // Ports reached through `opener`, their waits read on `clock`.
    Ports(Opener opener, Clock& clock);
    ~Ports();
    Ports(const Ports&) = delete;
    Ports& operator=(const Ports&) = delete;

    // The device port number n stands for: the one assigned to it, else the
    // platform's n-th serial device. Empty for n < 1.
    std::string device(int port) const;
    // Makes port number n stand for device (an empty text takes it back).
    void assign(int port, std::string device);
    // The device a port choice names, as resolvePort does, numbers through
    // the assignments.
    std::string resolve(std::string_view numberOrPath) const;

    // Sees every run of bytes these ports send and take; empty stops it.
    void setWireObserver(WireObserver observer);
    // Hands a run of bytes to the observer, if any.
    void tapWire(const std::string& device, WireDirection direction, int baud,
                 const std::uint8_t* bytes, int count) const;

    Clock& clock() const { return *clock_; }
    std::unique_ptr<Transport> reach(const std::string& name) const { return opener_(name); }
    // How ports are reached; set between runs, never while a port is open.
    const Opener& opener() const { return opener_; }
    void setOpener(Opener opener) { opener_ = std::move(opener); }

private:
    friend class detail::SharedPort;

    Opener opener_;
    Clock* clock_;
    mutable std::mutex assignedMutex_;
    std::map<int, std::string> assigned_;
    mutable std::mutex observerMutex_;
    WireObserver observer_;
    // The ports open now, by the device they lead to.
    std::mutex openMutex_;
    std::map<std::string, std::weak_ptr<detail::SharedPort>> open_;
};

} // namespace velmora
