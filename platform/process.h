// The program this library runs in.
#pragma once

#include <string>

namespace belvor::platform {

// Full path of the host process's executable (not of this library); empty
// when the system cannot tell.
std::string HostExecutablePath();

} // namespace belvor::platform
