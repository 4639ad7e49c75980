// What the Windows benchmarks under Wine share: a microsecond clock, a line of
// percentiles, and the scanner's end of the null-modem pair (COM8), the tests'
// own line (tests/win32/null_modem_line.cpp).
#pragma once

#include "bench/bench_stats.h"
#include "support/test_line.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
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
inline std::unique_ptr<test::TestLine> ScannerEnd()
{
    return test::MakeRealLine();
}

// All of bytes into the line, or an exception: a benchmark that lost some would time nothing.
inline void Type(test::TestLine& scanner, const std::string& bytes)
{
    if (!scanner.Send(bytes))
        throw std::runtime_error("COM8 took only part of the bytes");
}

} // namespace belvor::bench
