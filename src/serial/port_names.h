#pragma once

#include <string>
#include <string_view>

namespace velmora {

// The device that port number n stands for: the one assigned to it, else the
// platform's n-th serial device (/dev/ttyS<n-1>). Empty for n < 1.
std::string portDevice(int port);

// Makes port number n stand for device (an empty text takes the assignment back).
void assignPortDevice(int port, std::string device);

// The device named by a port choice: a number ("1"), a COM name ("COM1"), a
// device path ("/dev/ttyUSB0", a pseudo-terminal's link) or a device's bare
// name as the port list shows it ("ttyUSB0"). Empty when the text names none.
std::string resolvePort(std::string_view numberOrPath);

// The path Windows opens a COM port by: "COM12" only opens as "\\.\COM12",
// so every COM name gets that prefix; other names are left as they are.
std::string windowsDevicePath(std::string_view device);

} // namespace velmora
