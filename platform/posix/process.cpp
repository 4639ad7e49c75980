#include "platform/process.h"

#include <unistd.h>

namespace belvor::platform {

std::string HostExecutablePath()
{
    // The kernel's link names the main program, whichever object asks.
    std::string path(256, '\0');
    for (;;) {
        ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
        if (length < 0)
            return {};
        if (static_cast<size_t>(length) < path.size()) {
            path.resize(static_cast<size_t>(length));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ResolveDirectory(const std::string& base, const std::string& dir)
{
    std::string resolved = !dir.empty() && dir.front() == '/' ? dir : base + dir;
    if (resolved.empty() || resolved.back() != '/')
        resolved += '/';
    return resolved;
}

} // namespace belvor::platform
