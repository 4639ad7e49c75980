// The library reads its mode ([Port] Wake) from Belvor.ini when a driver is
// made: a benchmark writes the mode for the drivers it makes next, and the
// file is put back as it was when the object goes.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace belvor::bench {

class WakeConfig {
public:
    explicit WakeConfig(std::filesystem::path path) : FPath(std::move(path))
    {
        std::ifstream in(FPath, std::ios::binary);
        if (in) {
            std::ostringstream text;
            text << in.rdbuf();
            FOriginal = text.str();
            FHad = true;
        }
    }
    ~WakeConfig()
    {
        std::error_code ignored;
        if (FHad)
            Write(FOriginal);
        else
            std::filesystem::remove(FPath, ignored);
    }
    WakeConfig(const WakeConfig&) = delete;
    WakeConfig& operator=(const WakeConfig&) = delete;

    void Use(bool event) const
    {
        Write(std::string("[Port]\r\nWake=") + (event ? "Event" : "Poll") + "\r\n");
    }

private:
    void Write(const std::string& text) const
    {
        std::error_code ignored;
        std::filesystem::create_directories(FPath.parent_path(), ignored);
        std::ofstream(FPath, std::ios::binary | std::ios::trunc) << text;
    }
    std::filesystem::path FPath;
    std::string FOriginal;
    bool FHad = false;
};

} // namespace belvor::bench
