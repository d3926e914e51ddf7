#include "serial/port_names.h"

#include <algorithm>

namespace velmora {
namespace {

// A positive decimal number of at most six digits, or 0.
int portNumber(std::string_view text) {
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return 0;
    }
    int number = 0;
    for (char c : text) {
        number = number * 10 + (c - '0');
    }
    return number;
}

} // namespace

std::string portDevice(int port) {
    if (port < 1) {
        return {};
    }
#ifdef _WIN32
    return "COM" + std::to_string(port);
#else
    return "/dev/ttyS" + std::to_string(port - 1);
#endif
}

std::string resolvePort(std::string_view numberOrPath) {
    return resolvePort(numberOrPath, portDevice);
}

std::string resolvePort(std::string_view numberOrPath,
                        const std::function<std::string(int)>& deviceOf) {
    if (numberOrPath.empty()) {
        return {};
    }
    if (numberOrPath.find('/') != std::string_view::npos) {
        return std::string(numberOrPath);
    }
#ifdef _WIN32
    if (numberOrPath.find('\\') != std::string_view::npos) {
        return std::string(numberOrPath); // "\\.\COM12"
    }
#endif
    if (int number = portNumber(numberOrPath); number > 0) {
        return deviceOf(number);
    }
    if (numberOrPath.size() > 3) {
        std::string_view head = numberOrPath.substr(0, 3);
        bool com = std::equal(head.begin(), head.end(), "COM",
                              [](char a, char b) { return (a & ~0x20) == b; });
        if (com) {
            int number = portNumber(numberOrPath.substr(3));
            return number > 0 ? deviceOf(number) : std::string();
        }
    }
    if (std::all_of(numberOrPath.begin(), numberOrPath.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        return {}; // "0"
    }
#ifdef _WIN32
    return std::string(numberOrPath); // a device name such as "CNCA0"
#else
    return "/dev/" + std::string(numberOrPath);
#endif
}

std::string windowsDevicePath(std::string_view device) {
    const bool com = device.size() > 3 && (device[0] & ~0x20) == 'C' &&
                     (device[1] & ~0x20) == 'O' && (device[2] & ~0x20) == 'M' &&
                     portNumber(device.substr(3)) > 0;
    return com ? "\\\\.\\" + std::string(device) : std::string(device);
}

} // namespace velmora
