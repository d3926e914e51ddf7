#pragma once

#include "core/flags.h"
#include "core/link.h"
#include "serial/line_settings.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velmora {

namespace detail {
class OpenDevice;
}

// The communications control link: a serial port driven through properties.
// Until put otherwise it names the direct port's device (port 1), is set to
// "9600,n,8,1", reads in text mode and keeps DTR and RTS low. When the direct
// port has the same device open the two share it.
class CMSComm : public Link {
public:
    static constexpr int inputModeText = 0;
    static constexpr int inputModeBinary = 1;

    CMSComm();
    ~CMSComm() override;
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
    // open, it is applied at once. A malformed text, or one the open device
    // refuses, changes nothing and gives 0.
    int setSettings(std::string_view text);
    std::string settings() const;

    // Transmits the bytes in order; does nothing while closed.
    void setOutput(const ByteBuffer& bytes);
    // Received bytes waiting (at most 32767); 0 when closed.
    short inBufferCount();
    // Every queued byte as one array; empty when closed or nothing waits. Text
    // mode hands over the same bytes (no character conversion is made).
    ByteBuffer input();

    int send(const std::uint8_t* bytes, int count) override;
    int bytesWaiting() override;
    int receive(std::uint8_t* buffer, int limit) override;
    bool waitForInput(long long microseconds) override;

private:
    std::string portName_;
    bool dtr_ = false;
    bool rts_ = false;
    int inputMode_ = inputModeText;
    LineSettings settings_;
    mutable std::shared_ptr<detail::OpenDevice> openDevice_;

    bool usable() const;
};

} // namespace velmora
