#include "bench/bench_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace belvor::bench {

std::string CodeText(unsigned line, uint64_t seq)
{
    char text[32];
    std::snprintf(text, sizeof text, "%02u%011llu", line % 100,
                  static_cast<unsigned long long>(seq % 100000000000ULL));
    return text;
}

bool ParseCode(const char* text, size_t size, unsigned& line, uint64_t& seq)
{
    if (size != kCodeDigits)
        return false;
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    line = static_cast<unsigned>(value / 100000000000ULL);
    seq = value % 100000000000ULL;
    return true;
}

int64_t Percentile(std::vector<int64_t> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

std::string JsonArray(const std::vector<int64_t>& values)
{
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i)
        text += (i ? "," : "") + std::to_string(values[i]);
    return text + "]";
}

bool ReadOptions(int argc, char** argv, int first, const OptionSetters& setters)
{
    for (int i = first; i + 1 < argc; i += 2) {
        const auto setter = setters.find(argv[i]);
        if (setter == setters.end())
            return false;
        setter->second(argv[i + 1]);
    }
    return true;
}

} // namespace belvor::bench
