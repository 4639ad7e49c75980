#include "bench/bench_common.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <pty.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace belvor::bench {

namespace {

int64_t ClockNs(clockid_t clock)
{
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

} // namespace

int64_t NowNs()
{
    return ClockNs(CLOCK_MONOTONIC);
}

long ResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

int64_t ProcessCpuNs()
{
    return ClockNs(CLOCK_PROCESS_CPUTIME_ID);
}

int64_t MachineBusyNs()
{
    std::ifstream stat("/proc/stat");
    std::string cpu;
    long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    stat >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    const long ticks = sysconf(_SC_CLK_TCK);
    return (user + nice + system + irq + softirq) * (1000000000LL / (ticks > 0 ? ticks : 100));
}

void JsonLine::Key(const std::string& key)
{
    if (!FBody.empty())
        FBody += ",";
    FBody += "\"" + key + "\":";
}

JsonLine& JsonLine::Field(const std::string& key, const std::string& value)
{
    Key(key);
    FBody += "\"" + value + "\"";
    return *this;
}

JsonLine& JsonLine::Field(const std::string& key, double value)
{
    Key(key);
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    FBody += text;
    return *this;
}

JsonLine& JsonLine::Field(const std::string& key, int64_t value)
{
    Key(key);
    FBody += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Field(const std::string& key, const std::vector<int64_t>& values)
{
    Key(key);
    FBody += JsonArray(values);
    return *this;
}

JsonLine& JsonLine::Raw(const std::string& key, const std::string& json)
{
    Key(key);
    FBody += json;
    return *this;
}

void JsonLine::AppendTo(const std::string& path) const
{
    std::ofstream out(path, std::ios::app);
    out << Text() << "\n";
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace belvor::bench
