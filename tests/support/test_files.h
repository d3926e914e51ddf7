#pragma once

// Whole files read and written at once by tests, and the folder of a test.

#include "support/byte_pattern.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace velmora::testing {

inline void writeText(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

inline void writeBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::uint8_t> readBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The file's bytes as text; empty when it cannot be read.
inline std::string readText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A fresh, empty folder for one test: under the temporary folder, named after
// `prefix`, this process and the running test, so that runs side by side never
// share one. The test removes it when done.
inline std::filesystem::path freshTestFolder(const std::string& prefix) {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const auto folder = std::filesystem::temp_directory_path() /
                        (prefix + "-" + std::to_string(::getpid()) + "-" +
                         (test != nullptr ? std::string(test->name()) : std::string("outside")));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    return folder;
}

// The files in the system's lock folders, sorted: a port opened and let go
// must leave these as they were.
inline std::vector<std::string> lockFolderEntries() {
    std::vector<std::string> names;
    for (const char* folder : {"/var/lock", "/run/lock"}) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
            names.push_back(entry.path().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace velmora::testing
