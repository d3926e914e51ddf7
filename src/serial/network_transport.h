#pragma once

// Serial ports on other machines, reached over TCP through a port server that
// speaks the Telnet port control option (RFC 2217), such as ser2net.

#include "serial/transport.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// Where a network port name points: "rfc2217://host:port", an IPv6 address in
// brackets ("rfc2217://[::1]:4001").
struct NetworkAddress {
    std::string host;
    std::string port;
};

bool isNetworkPortName(std::string_view name);
// The host and port of a well-formed name; no value for anything else.
std::optional<NetworkAddress> parseNetworkPortName(std::string_view name);

// How long a network port waits for the server. A server that has not
// answered in that time counts as gone.
struct NetworkTimings {
    std::chrono::milliseconds connect{5000};
    // For each answer the server owes: option negotiation, a line setting's
    // confirmation, a purge, a modem line.
    std::chrono::milliseconds reply{2000};
    // A server starts passing its device's input a little after the
    // connection; open discards what came in before this much has passed.
    std::chrono::milliseconds settle{50};
};

// A transport for "rfc2217://host:port"; no transport for a name of another
// kind. A name with a bad host or port part is refused at open, with a reason.
std::unique_ptr<Transport> makeNetworkTransport(const std::string& name);
std::unique_ptr<Transport> makeNetworkTransport(const std::string& name,
                                                const NetworkTimings& timings);

} // namespace velmora
