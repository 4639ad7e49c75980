#include "programs/bridge/system.h"

#include <cstdio>

namespace belvor::bridge {

namespace {

int WindowsOnly()
{
    std::fputs("belvor-bridge: a service is for Windows; on Linux, systemd runs belvor-bridge.service\n",
               stderr);
    return 2;
}

} // namespace

int InstallService(const std::vector<std::string>&, const std::string&, bool)
{
    return WindowsOnly();
}

int UninstallService()
{
    return WindowsOnly();
}

int RunAsService(const std::function<int(const std::function<void()>&)>&)
{
    return WindowsOnly();
}

} // namespace belvor::bridge
