// The COM ports of a Windows machine: the serial devices Plug and Play
// reports, with their friendly names, manufacturers and USB ids, and then
// every other COM name the system knows (ports made by drivers that register
// no device, ports mapped by an emulation layer).

#include "serial/port_list.h"

// SetupAPI's header needs windows.h before it.
// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace velmora {
namespace {

// The interface class of serial ports and the setup class "Ports (COM & LPT)".
constexpr GUID comPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
constexpr GUID portsClass = {
    0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// "COM" and a number from 1: a serial port's name; LPT ports share the class.
unsigned comNumber(std::string_view name) {
    if (name.size() < 4 || name.size() > 9 || _strnicmp(name.data(), "COM", 3) != 0) {
        return 0;
    }
    unsigned number = 0;
    for (char c : name.substr(3)) {
        if (c < '0' || c > '9') {
            return 0;
        }
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    return number;
}

std::string registryText(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property) {
    char text[512];
    DWORD type = 0;
    DWORD size = 0;
    if (!::SetupDiGetDeviceRegistryPropertyA(devices, &device, property, &type,
                                             reinterpret_cast<BYTE*>(text), sizeof text - 1,
                                             &size) ||
        (type != REG_SZ && type != REG_MULTI_SZ)) {
        return {};
    }
    text[std::min<DWORD>(size, sizeof text - 1)] = '\0';
    return text; // the first string of a REG_MULTI_SZ
}

std::string portName(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    HKEY key = ::SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return {};
    }
    char name[64] = {};
    DWORD size = sizeof name - 1;
    DWORD type = 0;
    const bool read = ::RegQueryValueExA(key, "PortName", nullptr, &type,
                                         reinterpret_cast<BYTE*>(name), &size) == ERROR_SUCCESS &&
                      type == REG_SZ;
    ::RegCloseKey(key);
    return read ? std::string(name) : std::string();
}

// The hexadecimal number after "VID_" or "PID_" in a hardware id
// ("USB\VID_0403&PID_6001&REV_0600").
std::optional<unsigned> usbId(const std::string& hardwareId, const char* tag) {
    const std::size_t at = hardwareId.find(tag);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const char* digits = hardwareId.c_str() + at + std::strlen(tag);
    char* end = nullptr;
    const unsigned long value = std::strtoul(digits, &end, 16);
    if (end != digits + 4) {
        return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

// The serial number a USB device reports is the last part of its instance id
// ("USB\VID_0403&PID_6001\A50285BI"); Windows makes one up, with '&' in it,
// when the device has none.
std::string usbSerialNumber(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    char id[512] = {};
    if (!::SetupDiGetDeviceInstanceIdA(devices, &device, id, sizeof id - 1, nullptr) ||
        _strnicmp(id, "USB\\", 4) != 0) {
        return {};
    }
    std::string_view instance(id);
    std::string_view last = instance.substr(instance.rfind('\\') + 1);
    return last.find('&') == std::string_view::npos ? std::string(last) : std::string();
}

void addPlugAndPlayPorts(const GUID& which, DWORD flags, std::vector<PortInfo>& ports) {
    HDEVINFO devices = ::SetupDiGetClassDevsA(&which, nullptr, nullptr, flags | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        PortInfo info;
        info.name = portName(devices, device);
        if (comNumber(info.name) == 0 ||
            std::any_of(ports.begin(), ports.end(),
                        [&](const PortInfo& known) { return known.name == info.name; })) {
            continue;
        }
        info.device = info.name;
        info.description = registryText(devices, device, SPDRP_FRIENDLYNAME);
        if (info.description.empty()) {
            info.description = registryText(devices, device, SPDRP_DEVICEDESC);
        }
        info.manufacturer = registryText(devices, device, SPDRP_MFG);
        const std::string hardwareId = registryText(devices, device, SPDRP_HARDWAREID);
        info.vendorId = usbId(hardwareId, "VID_");
        info.productId = usbId(hardwareId, "PID_");
        info.serialNumber = usbSerialNumber(devices, device);
        ports.push_back(std::move(info));
    }
    ::SetupDiDestroyDeviceInfoList(devices);
}

// Every COM name in the system's device name table, for ports Plug and Play
// does not know.
void addDosDevicePorts(std::vector<PortInfo>& ports) {
    std::vector<char> names(16384);
    DWORD length = 0;
    while ((length = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()))) ==
               0 &&
           ::GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 22)) {
        names.resize(names.size() * 4);
    }
    for (std::size_t at = 0; at < length && names[at] != '\0';) {
        const std::string name(names.data() + at);
        at += name.size() + 1;
        if (comNumber(name) == 0) {
            continue;
        }
        const bool known = std::any_of(ports.begin(), ports.end(), [&](const PortInfo& port) {
            return _stricmp(port.name.c_str(), name.c_str()) == 0;
        });
        if (!known) {
            PortInfo info;
            info.name = "COM" + name.substr(3); // the table may hold "com5"
            info.device = info.name;
            ports.push_back(std::move(info));
        }
    }
}

} // namespace

std::vector<PortInfo> availablePorts() {
    std::vector<PortInfo> ports;
    addPlugAndPlayPorts(comPortInterface, DIGCF_DEVICEINTERFACE, ports);
    addPlugAndPlayPorts(portsClass, 0, ports);
    addDosDevicePorts(ports);
    // COM2 before COM10.
    std::sort(ports.begin(), ports.end(), [](const PortInfo& a, const PortInfo& b) {
        return comNumber(a.name) < comNumber(b.name);
    });
    return ports;
}

} // namespace velmora
