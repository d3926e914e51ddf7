#pragma once

#include "serial/transport.h"

#include <memory>
#include <string>

namespace velmora {

// A serial device of this machine ("/dev/ttyUSB0", a pseudo-terminal, "COM3").
std::unique_ptr<Transport> makeLocalSerialTransport(const std::string& name);

} // namespace velmora
