#include "platform/profile.h"

#include <cstdio>
#include <memory>

namespace belvor::platform {

const char* ConfigFilePath()
{
    return BELVOR_SYSTEM_DIR "/Belvor.ini";
}

namespace {

// The default loses its trailing spaces, as GetPrivateProfileStringA's does.
std::string Default(const char* defaultValue)
{
    std::string value(defaultValue);
    value.erase(value.find_last_not_of(' ') + 1);
    return value;
}

} // namespace

std::string ReadProfileString(const char* path, const char* section, const char* key,
                              const char* defaultValue)
{
    // A file that cannot be opened or read counts as missing, as it does for
    // GetPrivateProfileStringA.
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path, "rb"), &std::fclose);
    if (!file)
        return Default(defaultValue);
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
        text.append(chunk, n);
    if (std::ferror(file.get()))
        return Default(defaultValue);
    std::string value;
    return FindProfileString(text, section, key, value) ? value : Default(defaultValue);
}

} // namespace belvor::platform
