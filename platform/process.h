// The program this library runs in.
#pragma once

#include <string>

namespace belvor::platform {

// Full path of the host process's executable (not of this library); empty
// when the system cannot tell.
std::string HostExecutablePath();

// The directory part of a path, its last separator included ("" when none).
std::string DirectoryOf(const std::string& path);

// dir itself when it is absolute; otherwise dir below base (a directory
// with its separator, as DirectoryOf gives it). Always ends in a separator.
std::string ResolveDirectory(const std::string& base, const std::string& dir);

} // namespace belvor::platform
