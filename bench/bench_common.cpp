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

int64_t NowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Pty::Pty()
{
    char name[256] = {};
    if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
    FSlavePath = name;
    termios t{};
    tcgetattr(FSlave, &t);
    cfmakeraw(&t);
    tcsetattr(FSlave, TCSANOW, &t);
}

void Pty::HangUp()
{
    if (FMaster >= 0)
        close(FMaster);
    FMaster = -1;
}

Pty::~Pty()
{
    if (!FLink.empty())
        (void)unlink(FLink.c_str());
    close(FSlave);
    if (FMaster >= 0)
        close(FMaster);
}

void Pty::LinkAs(uint16_t port)
{
    (void)mkdir(BELVOR_SYSTEM_DIR, 0755);
    FLink = std::string(BELVOR_SYSTEM_DIR) + "/com" + std::to_string(port);
    (void)unlink(FLink.c_str());
    if (symlink(FSlavePath.c_str(), FLink.c_str()) != 0)
        throw std::runtime_error("cannot link " + FLink + ": " + std::strerror(errno));
}

void Pty::Write(const void* data, size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(FMaster, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error(std::string("write to pty: ") + std::strerror(errno));
        bytes += n;
        size -= static_cast<size_t>(n);
    }
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
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
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
