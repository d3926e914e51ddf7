#include "serial/port_list.h"

#include <QSerialPortInfo>
#include <algorithm>

namespace velmora {

std::vector<PortInfo> availablePorts() {
    std::vector<PortInfo> ports;
    for (const QSerialPortInfo& found : QSerialPortInfo::availablePorts()) {
        PortInfo info;
        info.name = found.portName().toStdString();
        info.device = found.systemLocation().toStdString();
        info.description = found.description().toStdString();
        info.manufacturer = found.manufacturer().toStdString();
        if (found.hasVendorIdentifier()) {
            info.vendorId = found.vendorIdentifier();
        }
        if (found.hasProductIdentifier()) {
            info.productId = found.productIdentifier();
        }
        info.serialNumber = found.serialNumber().toStdString();
        ports.push_back(std::move(info));
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return a.name < b.name; });
    return ports;
}

} // namespace velmora
