#include "serial/port_list.h"

#include <algorithm>
#include <cstdlib>
#include <libudev.h>
#include <memory>

namespace velmora {
namespace {

std::string text(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

std::optional<unsigned> hexId(const char* value) {
    if (value == nullptr || *value == '\0') {
        return std::nullopt;
    }
    char* end = nullptr;
    unsigned long id = std::strtoul(value, &end, 16);
    if (*end != '\0' || id > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<unsigned>(id);
}

// The first of the properties the device has.
std::string property(udev_device* device, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (const char* value = udev_device_get_property_value(device, name);
            value != nullptr && *value != '\0') {
            return value;
        }
    }
    return {};
}

// A tty is a serial port when a driver stands behind it: the virtual
// consoles and the legacy ttyS entries with no UART have none.
bool hasSerialDriver(udev_device* device) {
    udev_device* parent = udev_device_get_parent(device);
    if (parent == nullptr) {
        return false;
    }
    const std::string driver = text(udev_device_get_driver(parent));
    if (driver.empty()) {
        return false;
    }
    if (driver == "serial8250") {
        // The 8250 driver keeps placeholders for ports without a UART; a real
        // one has a port type other than 0 (unknown).
        const char* type = udev_device_get_sysattr_value(device, "type");
        return type != nullptr && std::atoi(type) != 0;
    }
    return true;
}

} // namespace

std::vector<PortInfo> availablePorts() {
    std::vector<PortInfo> ports;
    std::unique_ptr<udev, decltype(&udev_unref)> context(udev_new(), udev_unref);
    if (!context) {
        return ports;
    }
    std::unique_ptr<udev_enumerate, decltype(&udev_enumerate_unref)> scan(
        udev_enumerate_new(context.get()), udev_enumerate_unref);
    if (!scan || udev_enumerate_add_match_subsystem(scan.get(), "tty") < 0 ||
        udev_enumerate_scan_devices(scan.get()) < 0) {
        return ports;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(scan.get())) {
        std::unique_ptr<udev_device, decltype(&udev_device_unref)> device(
            udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)),
            udev_device_unref);
        if (!device || udev_device_get_devnode(device.get()) == nullptr ||
            !hasSerialDriver(device.get())) {
            continue;
        }
        PortInfo info;
        info.name = text(udev_device_get_sysname(device.get()));
        info.device = text(udev_device_get_devnode(device.get()));
        info.driver = text(udev_device_get_driver(udev_device_get_parent(device.get())));
        info.description = property(
            device.get(), {"ID_MODEL_FROM_DATABASE", "ID_MODEL", "ID_PCI_SUBCLASS_FROM_DATABASE"});
        for (char& c : info.description) {
            c = c == '_' ? ' ' : c;
        }
        info.manufacturer = property(device.get(), {"ID_VENDOR_FROM_DATABASE", "ID_VENDOR"});
        for (char& c : info.manufacturer) {
            c = c == '_' ? ' ' : c;
        }
        info.vendorId = hexId(udev_device_get_property_value(device.get(), "ID_VENDOR_ID"));
        info.productId = hexId(udev_device_get_property_value(device.get(), "ID_MODEL_ID"));
        info.serialNumber = property(device.get(), {"ID_SERIAL_SHORT"});
        ports.push_back(std::move(info));
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return a.name < b.name; });
    return ports;
}

} // namespace velmora
