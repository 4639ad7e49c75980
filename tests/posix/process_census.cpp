#include "support/process_census.h"

#include <cerrno>
#include <filesystem>

namespace belvor::test {

namespace {

int Entries(const char* directory)
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory))
        ++n;
    return n;
}

} // namespace

Census TakeCensus()
{
    return {Entries("/proc/self/task"), Entries("/proc/self/fd")};
}

uint32_t InjectedDeviceError()
{
    return EIO;
}

} // namespace belvor::test
