#include "platform/clock.h"

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

} // namespace belvor::platform
