#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace velmora {

// The platform's n-th serial device (/dev/ttyS<n-1>, COMn). Empty for n < 1.
// A run may make a number stand for another device (Ports::assign).
std::string portDevice(int port);

// The device named by a port choice: a number ("1"), a COM name ("COM1"), a
// device path ("/dev/ttyUSB0", a pseudo-terminal's link) or a device's bare
// name as the port list shows it ("ttyUSB0"). Empty when the text names none.
std::string resolvePort(std::string_view numberOrPath);
// The same, with port numbers looked up in `deviceOf`.
std::string resolvePort(std::string_view numberOrPath,
                        const std::function<std::string(int)>& deviceOf);

// The path Windows opens a COM port by: "COM12" only opens as "\\.\COM12",
// so every COM name gets that prefix; other names are left as they are.
std::string windowsDevicePath(std::string_view device);

} // namespace velmora
