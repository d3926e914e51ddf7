#pragma once

// S-record text for tests and benches: single records and whole programs.

#include <cstdint>
#include <cstdio>
#include <functional>
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

// A whole program of `size` bytes from address 0 as a tool writes it: a header
// record, records of 16 bytes and an end record, lines ending in CR LF.
inline std::string programText(std::uint32_t size,
                               const std::function<std::uint8_t(std::uint32_t)>& byteAt) {
    std::string text = "S00600004844521B\r\n";
    for (std::uint32_t address = 0; address < size; address += 16) {
        std::vector<std::uint8_t> data;
        for (std::uint32_t i = 0; i < 16 && address + i < size; ++i) {
            data.push_back(byteAt(address + i));
        }
        text += dataRecord(address, data) + "\r\n";
    }
    return text + "S9030000FC\r\n";
}

} // namespace velmora::testing
