#include "platform/profile.h"

#include <vector>
#include <windows.h>

namespace belvor::platform {

const char* ConfigFilePath()
{
    return "C:\\DEXE\\Belvor.ini";
}

std::string ReadProfileString(const char* path, const char* section, const char* key,
                              const char* defaultValue)
{
    // The call cuts a value to the buffer; grow it until the whole value fits.
    std::vector<char> buffer(512);
    for (;;) {
        const DWORD n = GetPrivateProfileStringA(section, key, defaultValue, buffer.data(),
                                                 static_cast<DWORD>(buffer.size()), path);
        if (n + 1 < buffer.size() || buffer.size() >= (1u << 20))
            return std::string(buffer.data(), n);
        buffer.resize(buffer.size() * 4);
    }
}

} // namespace belvor::platform
