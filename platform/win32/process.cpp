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

std::string DirectoryOf(const std::string& path)
{
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

std::string ResolveDirectory(const std::string& base, const std::string& dir)
{
    // C:\..., \\server\share\... and \... name their place themselves.
    const bool absolute =
        (dir.size() >= 2 && dir[1] == ':') || (!dir.empty() && (dir[0] == '\\' || dir[0] == '/'));
    std::string resolved = absolute ? dir : base + dir;
    if (resolved.empty() || (resolved.back() != '\\' && resolved.back() != '/'))
        resolved += '\\';
    return resolved;
}

} // namespace belvor::platform
