#include "cli/commands.h"
#include "serial/port_list.h"

#include <cstdio>
#include <iostream>
#include <string>

namespace velmora::cli {
namespace {

std::string usbIds(const PortInfo& port) {
    if (!port.vendorId || !port.productId) {
        return {};
    }
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB %04x:%04x", *port.vendorId, *port.productId);
    return ids;
}

void listPorts() {
    std::vector<PortInfo> ports = availablePorts();
    if (ports.empty()) {
        std::cerr << "No serial ports found.\n";
        return;
    }
    for (const PortInfo& port : ports) {
        std::string line = port.device;
        std::string description = port.description;
        if (!port.manufacturer.empty() &&
            description.find(port.manufacturer) == std::string::npos) {
            description += description.empty() ? port.manufacturer : " (" + port.manufacturer + ")";
        }
        if (!description.empty()) {
            line += "\t" + description;
        }
        if (std::string ids = usbIds(port); !ids.empty()) {
            line += "\t" + ids;
        }
        if (!port.serialNumber.empty()) {
            line += "\tserial " + port.serialNumber;
        }
        if (!port.driver.empty()) {
            line += "\tdriver " + port.driver;
        }
        std::cout << line << '\n';
    }
}

} // namespace

// velmora-cli ports: the serial devices found, one a line (device, description,
// USB vendor:product, serial number and driver where known). Finding none is
// not a failure; any device path may still be given by hand.
void addPortsCommand(CLI::App& app, CliExit& exit) {
    CLI::App* ports = app.add_subcommand("ports", "List the serial ports found on this machine");
    ports->callback([&exit] {
        listPorts();
        exit.code = 0;
    });
}

} // namespace velmora::cli
