// What every fuzz target does with its input: reads it as text, and ends the
// run at the first fault, so that libFuzzer keeps the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace belvor::fuzz {

inline void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

inline std::string_view Text(const uint8_t* data, size_t size)
{
    return {reinterpret_cast<const char*>(data), size};
}

} // namespace belvor::fuzz
