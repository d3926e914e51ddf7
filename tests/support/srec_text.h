#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace velmora::testing {

// One S1 (address below 0x10000) or S2 record with its checksum.
inline std::string dataRecord(std::uint32_t address, const std::vector<std::uint8_t>& bytes,
                              bool wide = false) {
    wide = wide || address > 0xFFFF;
    const int addressBytes = wide ? 3 : 2;
    std::vector<std::uint8_t> body;
    body.push_back(static_cast<std::uint8_t>(bytes.size() + addressBytes + 1));
    for (int i = addressBytes - 1; i >= 0; --i) {
        body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    }
    body.insert(body.end(), bytes.begin(), bytes.end());
    unsigned sum = 0;
    std::string text = wide ? "S2" : "S1";
    char pair[3];
    for (auto byte : body) {
        sum += byte;
        std::snprintf(pair, sizeof pair, "%02X", byte);
        text += pair;
    }
    std::snprintf(pair, sizeof pair, "%02X", ~sum & 0xFF);
    return text + pair;
}

} // namespace velmora::testing
