#pragma once

// The few calls on a local serial device that Asio does not offer. One small
// file per platform implements them: native_posix.cpp (Linux, macOS) and
// native_windows.cpp. Only the local-device transport includes this header.

#include "serial/transport.h"

#include <asio/serial_port.hpp>
#include <cstddef>
#include <string>

namespace velmora::native {

using Handle = asio::serial_port::native_handle_type;

// The system's text for its last error (errno, GetLastError), for a reason.
std::string lastErrorText();

// Takes the device for this process alone, before anything else is done on
// it. POSIX: flock(LOCK_EX | LOCK_NB) on the open device plus TIOCEXCL, which
// the kernel drops when the process dies; no lock files. Windows: a COM port
// is exclusive by nature, so this does nothing. A device held elsewhere gives
// Refused with "<device> is in use by another program" (with its pid where it
// can be learned).
Status takeExclusive(Handle handle, const std::string& device);
// Gives the device back (before close).
void releaseExclusive(Handle handle);

// Whether an open that failed with this error means another program holds the
// device (POSIX EBUSY from its exclusive flag; Windows ERROR_ACCESS_DENIED,
// as a second open of a COM port fails).
bool meansBusy(const std::error_code& error);
// "<device> is in use by another program", with the holder's pid where it can
// be learned, for an open that meansBusy refused.
std::string inUseReason(const std::string& device);

// Raw line for the programming protocol: no echo, no canonical input, no
// XON/XOFF either way (0x11 is a protocol byte), reads that return at once.
// Windows: a read waits for the first byte and returns when the line has
// been quiet for a millisecond; a read of at most the bytes queued
// (queuedInput) returns at once. A read under a deadline waits for input.
Status makeRaw(Handle handle, const std::string& device);

// Asks the driver to hand bytes over as soon as they arrive (Linux
// ASYNC_LOW_LATENCY, FTDI latency). Best effort: a device without it is fine.
void preferLowLatency(Handle handle);

// Drops received bytes the driver holds (tcflush(TCIFLUSH), PurgeComm).
Status discardInput(Handle handle, const std::string& device);

// Bytes the driver still holds for sending (TIOCOUTQ, ClearCommError's
// cbOutQue); 0 when it cannot tell (a pseudo-terminal reads 0 at once).
std::size_t queuedOutput(Handle handle);

// Bytes received and not yet read (FIONREAD, cbInQue); 0 on failure.
std::size_t queuedInput(Handle handle);

// Raises or lowers DTR or RTS. A device without modem lines (a
// pseudo-terminal) accepts and ignores it.
Status setModemLine(Handle handle, ModemLine line, bool raised, const std::string& device);

// Whether a read that ended with this error and nothing read only found no
// input yet: the driver ended it on a time-out of its own (Windows
// ERROR_TIMEOUT, WAIT_TIMEOUT, ERROR_SEM_TIMEOUT; Wine's COM ports end a
// waiting read so when the machine is busy). Never on POSIX.
bool meansNoInputYet(const std::error_code& error);

// Whether the error says the device is gone (EIO, ENXIO, ENODEV; Windows
// ERROR_BAD_COMMAND, ERROR_DEVICE_REMOVED, ERROR_OPERATION_ABORTED after removal).
bool meansGone(const std::error_code& error);

} // namespace velmora::native
