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

// The driver behind a tty: the first one up its parents, past the serial
// core's own "ctrl" and "port" devices. Empty for the virtual consoles and
// the like.
std::string driverOf(udev_device* device) {
    for (udev_device* parent = udev_device_get_parent(device); parent != nullptr;
         parent = udev_device_get_parent(parent)) {
        const std::string driver = text(udev_device_get_driver(parent));
        if (!driver.empty() && driver != "port" && driver != "ctrl") {
            return driver;
        }
    }
    return {};
}

// The serial core keeps placeholders for ports without a UART: their port
// type is 0 (unknown).
bool isPlaceholder(udev_device* device) {
    const char* type = udev_device_get_sysattr_value(device, "type");
    return type != nullptr && std::atoi(type) == 0;
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
            isPlaceholder(device.get())) {
            continue;
        }
        std::string driver = driverOf(device.get());
        if (driver.empty()) {
            continue;
        }
        PortInfo info;
        info.name = text(udev_device_get_sysname(device.get()));
        info.device = text(udev_device_get_devnode(device.get()));
        info.driver = std::move(driver);
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
