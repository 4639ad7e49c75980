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

// In the event mode a test's "no configuration" is a file that asks for it.
// A program that wrote the file removes it when it ends, so that the demo and
// the benchmarks, which read this directory's too, never inherit a test's.
struct ConfigRemovedAtExit {
    bool Wrote = false;
    ~ConfigRemovedAtExit()
    {
        std::error_code ignored;
        if (Wrote)
            std::filesystem::remove(platform::ConfigFilePath(), ignored);
    }
};
inline ConfigRemovedAtExit gConfigRemovedAtExit;

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
    gConfigRemovedAtExit.Wrote = true;
    std::filesystem::create_directories(path.parent_path(), ignored);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << *text;
}

} // namespace belvor::test
