// Which file COMn is on Linux: one rule, for the driver and the monitor.
#pragma once

#include <string>

namespace belvor::platform {

// The path configured for the port ([Ports] COMn=), else the link
// <systemDir>/com<n> when it is there (dangling or not: it says where the
// port is), else <devDir>/ttyS<n-1>; empty for COM0 with neither.
std::string PortDevicePath(unsigned portNumber, const std::string& configured, const std::string& systemDir,
                           const std::string& devDir = "/dev");

} // namespace belvor::platform
