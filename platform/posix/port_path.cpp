#include "platform/posix/port_path.h"

#include <sys/stat.h>

namespace belvor::platform {

std::string PortDevicePath(unsigned portNumber, const std::string& configured, const std::string& systemDir,
                           const std::string& devDir)
{
    // Named in the configuration: a stable path such as /dev/serial/by-id/...
    if (!configured.empty())
        return configured;
    const std::string link = systemDir + "/com" + std::to_string(portNumber);
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0)
        return link;
    if (portNumber == 0)
        return {};
    return devDir + "/ttyS" + std::to_string(portNumber - 1);
}

} // namespace belvor::platform
