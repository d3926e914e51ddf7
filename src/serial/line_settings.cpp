#include "serial/line_settings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace velmora {
namespace {

constexpr std::array<int, 19> knownRates = {110,    300,    600,    1200,   2400,  4800,  9600,
                                            14400,  19200,  28800,  38400,  56000, 57600, 115200,
                                            128000, 230400, 256000, 460800, 921600};

std::vector<std::string_view> splitFields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        std::size_t comma = text.find(',', start);
        if (comma == std::string_view::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
}

bool allDigits(std::string_view field) {
    return !field.empty() &&
           std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace

std::optional<LineSettings> parseLineSettings(std::string_view text) {
    std::vector<std::string_view> fields = splitFields(text);
    if (fields.size() != 4) {
        return std::nullopt;
    }
    LineSettings settings;

    std::string_view rate = fields[0];
    if (!allDigits(rate) || rate.size() > 7 || rate[0] == '0') {
        return std::nullopt;
    }
    int baud = 0;
    for (char c : rate) {
        baud = baud * 10 + (c - '0');
    }
    if (std::find(knownRates.begin(), knownRates.end(), baud) == knownRates.end()) {
        return std::nullopt;
    }
    settings.baud = baud;

    if (fields[1].size() != 1) {
        return std::nullopt;
    }
    char parity = static_cast<char>(std::tolower(static_cast<unsigned char>(fields[1][0])));
    if (std::string_view("neoms").find(parity) == std::string_view::npos) {
        return std::nullopt;
    }
    settings.parity = parity;

    if (fields[2].size() != 1 || fields[2][0] < '5' || fields[2][0] > '8') {
        return std::nullopt;
    }
    settings.dataBits = fields[2][0] - '0';

    if (fields[3] == "1") {
        settings.stopBitsTenths = 10;
    } else if (fields[3] == "1.5") {
        settings.stopBitsTenths = 15;
    } else if (fields[3] == "2") {
        settings.stopBitsTenths = 20;
    } else {
        return std::nullopt;
    }
    return settings;
}

std::string formatLineSettings(const LineSettings& settings) {
    std::string stop = settings.stopBitsTenths == 15   ? "1.5"
                       : settings.stopBitsTenths == 20 ? "2"
                                                       : "1";
    return std::to_string(settings.baud) + ',' + settings.parity + ',' +
           std::to_string(settings.dataBits) + ',' + stop;
}

} // namespace velmora
