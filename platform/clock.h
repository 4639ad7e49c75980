// Local wall-clock time, as the log's timestamps show it.
#pragma once

#include <chrono>
#include <cstdint>

namespace belvor::platform {

struct LocalTime {
    uint16_t Year;
    uint8_t Month; // 1-12
    uint8_t Day;   // 1-31
    uint8_t Hour;  // 0-23
    uint8_t Minute;
    uint8_t Second;
};

LocalTime CurrentLocalTime();

// The user's time separator (one byte); ':' where the system defines none.
char TimeSeparator();

// The steady clock in milliseconds.
inline int64_t SteadyMilliseconds() noexcept
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace belvor::platform
