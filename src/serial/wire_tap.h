#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace velmora {

enum class WireDirection { Sent, Received };

// Sees every run of bytes a run's serial ports write to or read from the line,
// with the rate in force, so a run can be transcribed or counted
// (Ports::setWireObserver). Called on the thread that moves the bytes; keep
// it short.
using WireObserver = std::function<void(const std::string& device, WireDirection direction,
                                        int baud, const std::uint8_t* bytes, int count)>;

} // namespace velmora
