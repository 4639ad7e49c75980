#include "platform/profile.h"

#include <fstream>
#include <iterator>

namespace belvor::platform {

const char* ConfigFilePath()
{
    return BELVOR_SYSTEM_DIR "/Belvor.ini";
}

std::string ReadProfileString(const char* path, const char* section, const char* key,
                              const char* defaultValue)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return defaultValue;
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string value;
    return FindProfileString(text, section, key, value) ? value : std::string(defaultValue);
}

} // namespace belvor::platform
