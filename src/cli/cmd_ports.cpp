#include "cli/commands.h"
#include "cli/json_events.h"
#include "serial/port_list.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

namespace velmora::cli {
namespace {

std::string usbIds(const PortInfo& port) {
    if (!port.vendorId || !port.productId) {
        return {};
    }
    return "USB " + usbIdText(port.vendorId) + ":" + usbIdText(port.productId);
}

void listPorts(bool json) {
    std::vector<PortInfo> ports = availablePorts();
    if (ports.empty()) {
        std::cerr << "No serial ports found.\n";
        return;
    }
    if (json) {
        JsonEvents events;
        for (const PortInfo& port : ports) {
            events.port(port);
        }
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
// USB vendor:product, serial number and driver where known), or one JSON
// object a line. Finding none is not a failure; any device path may still be
// given by hand.
void addPortsCommand(CLI::App& app, CommandRun& chosen) {
    if (!chosen.builds("ports")) {
        return;
    }
    CLI::App* ports = app.add_subcommand("ports", "List the serial ports found on this machine");
    auto json = std::make_shared<bool>(false);
    ports->add_flag("--json", *json, "one JSON object a port on stdout");
    ports->callback([json, &chosen] {
        chosen.run = [json] {
            listPorts(*json);
            return 0;
        };
    });
}

} // namespace velmora::cli
