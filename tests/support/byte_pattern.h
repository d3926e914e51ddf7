#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::testing {

// Recognisable bytes for an image, a boot program or a message: no two
// neighbours alike, a different run for every seed.
inline std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed = 1) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 8));
    }
    return bytes;
}

} // namespace velmora::testing
