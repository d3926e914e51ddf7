#pragma once

#include "core/flags.h"
#include "serial/line_settings.h"
#include "serial/transport.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velmora {

class Ports;
namespace detail {
class SharedPort;
}

// The control line: the communications control link, a serial port driven
// through properties.
// Until put otherwise it names the direct port's device (port 1), is set to
// "9600,n,8,1", reads in text mode and keeps DTR and RTS low. When the direct
// port of the same run (the same Ports) has the same device open the two
// share it. lastFailure() keeps the
// system's reason for the last put or get that failed.
class CMSComm {
public:
    static constexpr int inputModeText = 0;
    static constexpr int inputModeBinary = 1;

    // Port numbers, shared devices and the wire tap are those of `ports`,
    // which must outlive the link.
    explicit CMSComm(Ports& ports);
    // A link of its own, sharing nothing.
    CMSComm();
    ~CMSComm();
    CMSComm(const CMSComm&) = delete;
    CMSComm& operator=(const CMSComm&) = delete;

    // The device to open; empty names the direct port's device. Takes effect at
    // the next open.
    void setPortName(std::string device);
    std::string portName() const;

    // Raises or lowers the line now when open, and at every open. A device
    // without modem lines (a pseudo-terminal) ignores it.
    void setDTREnable(bool raised);
    void setRTSEnable(bool raised);

    // Opens (at the stored settings) or closes the device; opening an open
    // link changes nothing. Returns 1 when the link ends up as asked.
    int setPortOpen(bool open);
    bool portOpen() const;

    // 0 text, 1 binary; other values are ignored.
    void setInputMode(int mode);
    int inputMode() const;

    // Settings text "baud,parity,data,stop", e.g. "38400,n,8,1". Put while
    // open, it is applied at once (output still queued leaves at the old
    // rate first). A malformed text, or one the open device refuses, changes
    // nothing and gives 0.
    int setSettings(std::string_view text);
    std::string settings() const;

    // Transmits the bytes in order, bounded by their line time and 1000 ms;
    // does nothing while closed.
    void setOutput(const ByteBuffer& bytes);
    // Received bytes waiting (at most 32767); 0 when closed.
    short inBufferCount();
    // Every queued byte as one array; empty when closed or nothing waits. Text
    // mode hands over the same bytes (no character conversion is made).
    ByteBuffer input();
    // Waits at most the given microseconds for input; true when bytes wait.
    bool waitForInput(long long microseconds);

    // The transport the exchanges drive. While the link is closed it refuses
    // every call, naming the device.
    Transport& transport();
    // Why the last call that failed did; Done when none has failed since the open.
    const Status& lastFailure() const { return failure_; }

private:
    std::unique_ptr<Ports> ownPorts_;
    Ports* ports_;
    std::string portName_;
    bool dtr_ = false;
    bool rts_ = false;
    int inputMode_ = inputModeText;
    LineSettings settings_;
    mutable std::shared_ptr<detail::SharedPort> shared_;
    std::unique_ptr<Transport> closed_;
    Status failure_;

    bool usable() const;
    void note(const Status& status);
};

} // namespace velmora
