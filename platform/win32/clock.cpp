#include "platform/clock.h"

#include <windows.h>

namespace belvor::platform {

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

} // namespace belvor::platform
