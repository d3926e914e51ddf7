#pragma once

#include <cstdint>

namespace velmora {

// A byte transport to the target, as the exchanges use it. Both the direct
// serial port and the communications control link provide it, so the write
// steps can run over whichever link they are given.
class Link {
public:
    virtual ~Link() = default;

    // Sends count bytes in order; returns how many were handed to the device
    // (0 when the link is closed or count <= 0).
    virtual int send(const std::uint8_t* bytes, int count) = 0;

    // Number of received bytes queued; 0 when closed.
    virtual int bytesWaiting() = 0;

    // Takes up to limit queued bytes without waiting for the line; what is not
    // taken stays queued. Returns the count placed in buffer.
    virtual int receive(std::uint8_t* buffer, int limit) = 0;

    // Waits at most the given number of microseconds for input to arrive;
    // returns true when bytes are waiting. Never spins.
    virtual bool waitForInput(long long microseconds) = 0;
};

} // namespace velmora
