#include "platform/process.h"

#include <windows.h>

namespace belvor::platform {

std::string HostExecutablePath()
{
    // A null module names the executable that started the process, not this DLL.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768)
            return {};
        path.resize(path.size() * 2);
    }
}

} // namespace belvor::platform
