#include "platform/clock.h"

#include <windows.h>

#include <atomic>
#include <chrono>

namespace belvor::platform {

namespace {

// What tests passed as a system sleep.
std::atomic<int64_t> gSleptMs{0};

} // namespace

LocalTime CurrentLocalTime()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return LocalTime{now.wYear,
                     static_cast<uint8_t>(now.wMonth),
                     static_cast<uint8_t>(now.wDay),
                     static_cast<uint8_t>(now.wHour),
                     static_cast<uint8_t>(now.wMinute),
                     static_cast<uint8_t>(now.wSecond)};
}

char TimeSeparator()
{
    // Read each time, so a change in the control panel shows in the next record.
    char separator[8] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, separator, sizeof separator) == 0 ||
        separator[0] == 0)
        return ':';
    return separator[0];
}

int64_t SteadyMilliseconds() noexcept
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
               .count() +
           gSleptMs.load(std::memory_order_relaxed);
}

int64_t AwakeMilliseconds() noexcept
{
    // In 100 ns units, without the time asleep or hibernating (Windows 7 on),
    // advanced at each clock tick: the waits it measures are far longer.
    ULONGLONG awake = 0;
    (void)QueryUnbiasedInterruptTime(&awake);
    return static_cast<int64_t>(awake / 10000);
}

void PassSystemSleepForTesting(int64_t ms) noexcept
{
    gSleptMs.fetch_add(ms, std::memory_order_relaxed);
}

} // namespace belvor::platform
