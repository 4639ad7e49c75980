#include "platform/clock.h"

#include <chrono>
#include <ctime>

namespace belvor::platform {

LocalTime CurrentLocalTime()
{
    std::time_t now = std::time(nullptr);
    struct tm parts {};
    if (!localtime_r(&now, &parts))
        return LocalTime{1970, 1, 1, 0, 0, 0};
    return LocalTime{static_cast<uint16_t>(parts.tm_year + 1900), static_cast<uint8_t>(parts.tm_mon + 1),
                     static_cast<uint8_t>(parts.tm_mday),         static_cast<uint8_t>(parts.tm_hour),
                     static_cast<uint8_t>(parts.tm_min),          static_cast<uint8_t>(parts.tm_sec)};
}

char TimeSeparator()
{
    // The locale's time format carries no separator of its own here.
    return ':';
}

int64_t SteadyMilliseconds() noexcept
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int64_t AwakeMilliseconds() noexcept
{
    // Not CLOCK_BOOTTIME: that one goes on while the system sleeps, poll's bound does not.
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void PassSystemSleepForTesting(int64_t /*ms*/) noexcept
{
    // CLOCK_MONOTONIC, under both clocks here, stops while the system sleeps.
}

} // namespace belvor::platform
