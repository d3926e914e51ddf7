#pragma once

#include "core/clock.h"
#include "serial/line_settings.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace velmora {

// What became of one call on a transport.
enum class Outcome {
    Done,     // the call did what it was asked
    TimedOut, // the deadline passed first; the device is still there
    Gone,     // the device vanished or the connection was lost; the transport is closed
    Refused,  // the system refused the call; the reason says why
};

// An outcome with the system's own words for it. The reason names the device
// and carries the system's error text ("/dev/ttyUSB0: Permission denied"); it
// is empty when the call was done.
struct Status {
    Outcome outcome = Outcome::Done;
    std::string reason;

    bool ok() const { return outcome == Outcome::Done; }
    static Status done() { return {}; }
    static Status timedOut(std::string why) { return {Outcome::TimedOut, std::move(why)}; }
    static Status gone(std::string why) { return {Outcome::Gone, std::move(why)}; }
    static Status refused(std::string why) { return {Outcome::Refused, std::move(why)}; }
};

using TransportClock = std::chrono::steady_clock;
using Deadline = TransportClock::time_point;

enum class ModemLine { DataTerminalReady, RequestToSend };

// One way to reach a board: a local serial device or a network port. Every
// call is bounded (by its deadline, or by the line time of what it waits
// for) and tells apart done, timed out, gone and refused. Calls on a closed
// transport are refused. Not thread-safe: one thread drives a transport.
class Transport {
public:
    virtual ~Transport() = default;

    // The port as it was named: "/dev/ttyUSB0", "COM3", "rfc2217://host:4001".
    virtual const std::string& name() const = 0;

    // Opens the port for this process alone, puts the settings in force before
    // any byte goes out and discards whatever input was queued before: what
    // arrived before we listened is no answer to us.
    virtual Status open(const LineSettings& settings) = 0;
    virtual bool isOpen() const = 0;

    // Puts new settings in force. Output still queued leaves first, at the
    // settings it was sent with.
    virtual Status configure(const LineSettings& settings) = 0;
    virtual const LineSettings& settings() const = 0;

    // Hands every byte to the line by the deadline; TimedOut when the line
    // stops taking them (the bytes not taken are dropped).
    virtual Status send(const std::uint8_t* bytes, std::size_t count, Deadline deadline) = 0;

    // Done as soon as input is queued, TimedOut when none came by the deadline.
    virtual Status waitForInput(Deadline deadline) = 0;
    // Bytes received and not yet taken; 0 when closed.
    virtual std::size_t available() = 0;
    // Takes up to limit queued bytes without waiting for the line.
    virtual Status take(std::uint8_t* buffer, std::size_t limit, std::size_t& taken) = 0;

    // Waits until the output queued has left the port, bounded by the
    // deadline; TimedOut when it has not.
    virtual Status drain(Deadline deadline) = 0;
    // Drops every received byte not yet taken.
    virtual Status discardInput() = 0;
    // Raises or lowers a modem line. A port without modem lines (a
    // pseudo-terminal) accepts and ignores it.
    virtual Status setModemLine(ModemLine line, bool raised) = 0;

    // Drains (bounded by the line time of what is queued) and releases the
    // port. Closing a closed transport does nothing.
    virtual void close() = 0;
};

// The time count bytes take on a line with these settings (start bit, data
// bits, parity bit and stop bits per byte).
std::chrono::microseconds lineTime(std::size_t count, const LineSettings& settings);

// What a write may take beyond the line time of its bytes before it counts as
// not finished: the 1000 ms the direct port allows one byte.
inline constexpr std::chrono::milliseconds writeAllowance{1000};

// Sends every byte, bounded by their line time plus writeAllowance on the given clock.
Status sendWithinLineTime(Transport& transport, const std::uint8_t* bytes, std::size_t count,
                          const Clock& clock);

// A transport for a port name: "rfc2217://host:port" reaches a network port
// (RFC 2217), anything else names a local serial device. Not open yet.
std::unique_ptr<Transport> makeTransport(const std::string& name);

} // namespace velmora
