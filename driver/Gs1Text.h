// Character tests shared by the symbology and GS1 readers.
#pragma once

#include <string_view>

namespace belvor::gs1 {

constexpr bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Digits only (true for "").
constexpr bool AllDigits(std::string_view text)
{
    for (const char c : text)
        if (!IsDigit(c))
            return false;
    return true;
}

// The value of a run of digits.
constexpr unsigned DigitsValue(std::string_view digits)
{
    unsigned value = 0;
    for (const char c : digits)
        value = value * 10 + static_cast<unsigned>(c - '0');
    return value;
}

} // namespace belvor::gs1
