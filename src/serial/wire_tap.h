#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace velmora {

enum class WireDirection { Sent, Received };

// Sees every run of bytes the process's serial devices write to or read from
// the line, with the rate in force, so a run can be transcribed or counted.
// Called on the thread that moves the bytes; keep it short.
using WireObserver = std::function<void(const std::string& device, WireDirection direction,
                                        int baud, const std::uint8_t* bytes, int count)>;

// Process-wide; an empty observer stops the tap. Set it before the ports open.
void setWireObserver(WireObserver observer);

namespace detail {
// For the serial link itself: hands a run of bytes to the observer, if any.
void tapWire(const std::string& device, WireDirection direction, int baud,
             const std::uint8_t* bytes, int count);
} // namespace detail

} // namespace velmora
