#pragma once

#include "serial/transport.h"

#include <memory>
#include <string>

namespace velmora {
class Ports;
}

namespace velmora::detail {

// Who holds an open port. The direct port and the control link may share one
// port; two holders of the same kind may not.
enum class Holder { DirectPort, ControlLink };

// One open port of this process, shared by the direct port and the control link
// when both name it, so the device is never opened twice. The settings of the
// holder that applied them last are in force; when it lets go, the other
// holder's settings come back. The port is drained and closed when the last
// holder lets go. Every byte sent and taken passes the run's wire tap.
class SharedPort {
public:
    // Opens the port (symbolic links resolved) or joins it when the run has
    // it open already, and puts the settings in force. Null with the reason
    // in status when it cannot.
    static std::shared_ptr<SharedPort> acquire(Ports& ports, const std::string& name, Holder holder,
                                               const LineSettings& settings, Status& status);

    SharedPort(std::unique_ptr<Transport> transport, const Ports& ports);
    ~SharedPort();
    SharedPort(const SharedPort&) = delete;
    SharedPort& operator=(const SharedPort&) = delete;

    // The holder lets go; the remaining holder's settings are put back.
    void release(Holder holder);
    // Puts new settings in force for this holder; nothing changes when refused.
    Status applySettings(Holder holder, const LineSettings& settings);

    // The port's transport, tapped. It stays valid while this object lives;
    // after the device went away its calls are refused or report it gone.
    Transport& transport();
    bool isOpen() const;
    const std::string& name() const;

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

// Whether the holder still has an open port. When the device went away the
// holder lets go of it, so it acts as closed and its next open starts afresh.
bool holdsOpenPort(std::shared_ptr<SharedPort>& shared, Holder holder);

// Keeps a failed call's status as the holder's last failure.
inline void noteFailure(Status& lastFailure, const Status& status) {
    if (!status.ok()) {
        lastFailure = status;
    }
}

// Waits up to `microseconds` (none when negative) for input on the port. A
// wait that ends without input is no failure; any other is kept.
bool waitForPortInput(SharedPort& port, long long microseconds, Status& lastFailure,
                      const Clock& clock);

// A transport that refuses every call with "<name> is not open": what a port
// that is not open hands to the exchanges.
std::unique_ptr<Transport> makeClosedTransport(std::string name);

} // namespace velmora::detail
