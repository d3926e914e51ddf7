#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// A serial device found on this machine.
struct PortInfo {
    std::string name;        // "ttyUSB0"
    std::string device;      // "/dev/ttyUSB0"
    std::string description; // as the driver or the USB descriptor gives it; may be empty
    std::string manufacturer;
    std::optional<unsigned> vendorId; // USB ids, where known
    std::optional<unsigned> productId;
    std::string serialNumber;
    std::string driver; // "ftdi_sio", "cp210x", "serial8250"; may be empty
};

// A USB id as lsusb and udev write it ("0403"); empty where unknown.
inline std::string usbIdText(const std::optional<unsigned>& id) {
    if (!id) {
        return {};
    }
    char text[8];
    std::snprintf(text, sizeof text, "%04x", *id & 0xFFFF);
    return text;
}

// The serial devices present now, in name order; empty when there are none.
std::vector<PortInfo> availablePorts();

} // namespace velmora
