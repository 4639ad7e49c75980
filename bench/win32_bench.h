// What the Windows benchmarks under Wine share: a microsecond clock, a line of
// percentiles, and the scanner's end of the null-modem pair (COM8).
#pragma once

#include "bench/bench_stats.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace belvor::bench {

inline int64_t NowUs()
{
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart * 1000000 / frequency;
}

// Median, p99 and maximum of times in microseconds, printed in milliseconds.
inline void PrintTimes(const char* what, const std::vector<int64_t>& us, const char* note = "")
{
    if (us.empty()) {
        std::printf("%-44s no samples %s\n", what, note);
        return;
    }
    std::printf("%-44s n=%-5zu median %7.2f ms  p99 %7.2f ms  max %7.2f ms %s\n", what, us.size(),
                static_cast<double>(Percentile(us, 50)) / 1000,
                static_cast<double>(Percentile(us, 99)) / 1000,
                static_cast<double>(Percentile(us, 100)) / 1000, note);
}

// The scanner's end of the line that tools/wine-run.sh joins to COM7.
inline HANDLE OpenCom8()
{
    const HANDLE h =
        CreateFileA("\\\\.\\COM8", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open COM8");
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = 5000;
    SetCommTimeouts(h, &timeouts);
    return h;
}

} // namespace belvor::bench
