#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora {

// SHA-256 (FIPS 180-4): the image's fingerprint in run records and reports.
class Sha256 {
public:
    void add(const unsigned char* bytes, std::size_t count);
    // The digest as lowercase hex; the hash is used up.
    std::string hex();

private:
    void compress();

    std::array<std::uint32_t, 8> state{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::array<unsigned char, 64> block{};
    std::size_t used = 0;
    std::uint64_t length = 0;
};

// Lowercase hex SHA-256 of a run of bytes.
std::string sha256Hex(const std::uint8_t* bytes, std::size_t count);

} // namespace velmora
