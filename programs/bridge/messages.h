// Where the bridge's messages go: stderr, or under the Windows service manager
// (which gives a program no standard streams) a log file.
#pragma once

#include <cstdio>

namespace belvor::bridge {

inline std::FILE*& MessageFile()
{
    static std::FILE* file = stderr;
    return file;
}

} // namespace belvor::bridge
