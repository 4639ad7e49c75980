// Writes or removes the library's configuration file for a test.
#pragma once

#include "platform/profile.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace belvor::test {

// "Event" when this run of a test program receives in the event mode
// (BELVOR_TEST_WAKE=Event): every configuration a test writes then asks for it.
inline bool EventModeRun()
{
    const char* mode = std::getenv("BELVOR_TEST_WAKE");
    return mode && std::string(mode) == "Event";
}

inline void WriteConfig(std::optional<std::string> text)
{
    if (EventModeRun() && (!text || text->find("Wake=") == std::string::npos))
        text = text.value_or("") + "\r\n[Port]\r\nWake=Event\r\n";
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
