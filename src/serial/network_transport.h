#pragma once

#include "serial/transport.h"

#include <memory>
#include <string>

namespace velmora {

// A network port named "rfc2217://host:port" (RFC 2217 over TCP). Not open yet.
std::unique_ptr<Transport> makeNetworkTransport(const std::string& name);

} // namespace velmora
