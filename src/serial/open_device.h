#pragma once

#include "serial/line_settings.h"

#include <cstdint>
#include <memory>
#include <string>

namespace velmora::detail {

// Who holds an open device. The direct port and the control link may share one
// device; two holders of the same kind may not.
enum class Holder { DirectPort, ControlLink };

// One open serial device, held exclusively against other programs and shared
// by the transports of this process that name it. The settings of the holder
// that applied them last are in force; when it lets go, the other holder's
// settings come back. The device is drained and closed when the last holder
// lets go. A device that vanishes (adapter pulled, far end of a
// pseudo-terminal closed) is closed at once and reports itself closed.
class OpenDevice {
public:
    // Opens the device at path (symbolic links resolved) or joins it when this
    // process has it open already; applies the settings. Gives null when the
    // device is absent, held elsewhere, already held by a holder of the same
    // kind, or refuses the settings.
    static std::shared_ptr<OpenDevice> acquire(const std::string& path, Holder holder,
                                               const LineSettings& settings);

    OpenDevice();
    ~OpenDevice();
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;

    // The holder lets go; the remaining holder's settings are put back.
    void release(Holder holder);
    // Puts new settings in force for this holder; false (nothing changed) when
    // the device refuses them.
    bool applySettings(Holder holder, const LineSettings& settings);

    // Whether the device is still there (asks the line).
    bool isOpen();
    // Whether the device is held and has not been found gone (no system call).
    bool isUsable();
    const std::string& path() const;

    // One byte, bounded by a 1000 ms wait for its write.
    void writeByte(std::uint8_t value);
    // A run of bytes in one write, bounded by 1000 ms plus their line time.
    void writeBlock(const std::uint8_t* bytes, int count);
    int bytesWaiting();
    int read(std::uint8_t* buffer, int limit);
    bool waitForInput(long long microseconds);
    // False when the device refuses to drive the line (a pseudo-terminal has none).
    bool setDataTerminalReady(bool raised);
    bool setRequestToSend(bool raised);

    // Drains and closes at once; every holder then sees a closed device.
    void shutDown();

    struct Impl;

private:
    std::unique_ptr<Impl> d;
};

} // namespace velmora::detail
