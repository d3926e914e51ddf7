#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// The whole file in binary; nothing when it cannot be opened or read, with
// what is wrong in `problem` when given: the path and the system's reason
// ("/usr/share/brenlow/3062f.bin: No such file or directory").
std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path,
                                                       std::string* problem = nullptr);

// The file's bytes when it holds between 1 and `longest` of them; else
// nothing, with the path and what is wrong in `problem` (missing, unreadable,
// empty, "larger than 65535 bytes").
std::optional<std::vector<std::uint8_t>> readFileToSend(const std::filesystem::path& path,
                                                        std::string& problem,
                                                        std::size_t longest = SIZE_MAX);

} // namespace velmora
