#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace velmora {

// The whole file in binary; nothing when it cannot be opened or read.
std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path);

} // namespace velmora
