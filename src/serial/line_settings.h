#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// The line settings of a serial device: rate, parity letter (n, e, o, m, s),
// data bits and stop bits (10 for one, 15 for one and a half, 20 for two).
struct LineSettings {
    int baud = 9600;
    char parity = 'n';
    int dataBits = 8;
    int stopBitsTenths = 10;

    bool operator==(const LineSettings&) const = default;
};

// Reads a settings text such as "38400,n,8,1". Strict: exactly four fields,
// no blanks, a known rate, one of the parity letters, 5 to 8 data bits and 1,
// 1.5 or 2 stop bits. Anything else gives no value.
std::optional<LineSettings> parseLineSettings(std::string_view text);

// The text form of settings, lower case: "9600,n,8,1".
std::string formatLineSettings(const LineSettings& settings);

} // namespace velmora
