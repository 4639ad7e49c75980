// Writes or removes the library's configuration file for a test.
#pragma once

#include "platform/profile.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace belvor::test {

inline void WriteConfig(const std::optional<std::string>& text)
{
    const std::filesystem::path path(platform::ConfigFilePath());
    std::error_code ignored;
    if (!text) {
        std::filesystem::remove(path, ignored);
        return;
    }
    std::filesystem::create_directories(path.parent_path(), ignored);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << *text;
}

} // namespace belvor::test
