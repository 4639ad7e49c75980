#include "programs/monitor/posix_ports.h"

#include "platform/errors.h"
#include "platform/posix/port_path.h"
#include "platform/profile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/serial.h>
#include <map>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr unsigned kLastCom = 255;

// The number after prefix in name ("ttyUSB12" -> 12), or -1. Leading zeros
// do not count: the driver never builds such a name.
long NumberAfter(const std::string& name, const std::string& prefix)
{
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 6 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    if (digits.size() > 1 && digits[0] == '0')
        return -1;
    return std::stol(digits);
}

bool Exists(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// Where path finally leads; empty when it leads nowhere.
std::string Resolved(const std::string& path)
{
    std::error_code error;
    const fs::path target = fs::canonical(path, error);
    return error ? std::string() : target.string();
}

// What a link says, for one that leads nowhere.
std::string LinkText(const std::string& path)
{
    std::error_code error;
    const fs::path target = fs::read_symlink(path, error);
    return error ? std::string() : target.string();
}

std::string Com(unsigned n)
{
    return "COM" + std::to_string(n);
}

const char* UartName(int type)
{
    switch (type) {
    case PORT_8250:
        return "8250";
    case PORT_16450:
        return "16450";
    case PORT_16550:
        return "16550";
    case PORT_16550A:
        return "16550A";
    case PORT_16650:
        return "16650";
    case PORT_16650V2:
        return "16650V2";
    case PORT_16750:
        return "16750";
    case PORT_16C950:
        return "16C950";
    case PORT_16850:
        return "16850";
    default:
        return nullptr;
    }
}

struct Probe {
    PortUse Use = PortUse::Unknown;
    std::string Note;
    int UartType = -1; // -1: cannot be told
};

Probe ProbeDevice(const std::string& path)
{
    Probe probe;
    // As the driver opens a port: an exclusive (TIOCEXCL) holder refuses the
    // open with EBUSY, any holder's flock refuses ours.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == EBUSY)
            probe.Use = PortUse::InUse;
        else if (error == ENOENT || error == ENXIO || error == ENODEV)
            probe.Use = PortUse::Missing;
        else
            probe.Note = belvor::platform::SystemMessage(static_cast<uint32_t>(error));
        return probe;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            probe.Use = PortUse::InUse;
        } else {
            probe.Note = belvor::platform::SystemMessage(static_cast<uint32_t>(error));
        }
    } else {
        probe.Use = PortUse::Free;
    }
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0)
        probe.UartType = serial.type;
    close(fd);
    return probe;
}

// The path the driver opens for COMn; entry is the [Ports] value ("" when none).
std::string DriverPath(const PortPlaces& places, unsigned n, const std::string& entry)
{
    return belvor::platform::PortDevicePath(n, entry, places.SystemDir, places.DevDir);
}

std::vector<fs::path> Entries(const std::string& dir)
{
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        entries.push_back(it->path());
    std::sort(entries.begin(), entries.end());
    return entries;
}

} // namespace

PortPlaces SystemPortPlaces()
{
    return {BELVOR_SYSTEM_DIR, belvor::platform::ConfigFilePath(), "/dev"};
}

PortUse ProbePort(const std::string& path, std::string& note)
{
    Probe probe = ProbeDevice(path);
    note = probe.Note;
    return probe.Use;
}

PortUse ProbeCom(unsigned n)
{
    const PortPlaces places = SystemPortPlaces();
    const std::string entry =
        belvor::platform::ReadProfileString(places.ConfigPath.c_str(), "Ports", Com(n).c_str(), "");
    std::string note;
    return ProbePort(DriverPath(places, n, entry), note);
}

PortListing ListPorts(const PortPlaces& places)
{
    PortListing listing;

    // Which device each COM number opens, to name the COM of every device found.
    std::string entries[kLastCom + 1];
    std::multimap<std::string, unsigned> comOf;
    for (unsigned n = 1; n <= kLastCom; ++n) {
        entries[n] =
            belvor::platform::ReadProfileString(places.ConfigPath.c_str(), "Ports", Com(n).c_str(), "");
        const std::string device = Resolved(DriverPath(places, n, entries[n]));
        if (!device.empty())
            comOf.emplace(device, n);
    }
    const auto comsOf = [&](const std::string& device) {
        std::vector<unsigned> coms;
        for (auto [it, end] = comOf.equal_range(device); it != end; ++it)
            coms.push_back(it->second);
        return coms;
    };
    const auto withProbe = [](ListedPort port, const std::string& path) {
        Probe probe = ProbeDevice(path);
        port.Use = probe.Use;
        port.Note = probe.Note;
        return port;
    };

    for (unsigned n = 1; n <= kLastCom; ++n) {
        if (entries[n].empty())
            continue;
        ListedPort port{{n}, "[Ports]", entries[n], Resolved(entries[n]), "Belvor.ini", PortUse::Missing, {}};
        if (port.Target == port.Name)
            port.Target.clear();
        listing.Ports.push_back(Exists(entries[n]) ? withProbe(port, entries[n]) : port);
    }

    for (const fs::path& link : Entries(places.SystemDir)) {
        const long n = NumberAfter(link.filename().string(), "com");
        if (n < 1 || n > static_cast<long>(kLastCom))
            continue;
        const unsigned com = static_cast<unsigned>(n);
        ListedPort port{{com}, "link", link.string(), Resolved(link.string()), {}, PortUse::Missing, {}};
        if (port.Target.empty())
            port.About = "leads nowhere: " + LinkText(link.string());
        if (!entries[com].empty())
            port.About += std::string(port.About.empty() ? "" : "; ") + "not used: [Ports] " + Com(com) +
                          " comes first";
        listing.Ports.push_back(port.Target.empty() ? port : withProbe(port, link.string()));
    }

    for (const fs::path& link : Entries(places.DevDir + "/serial/by-id")) {
        ListedPort port{{}, "by-id", link.string(), Resolved(link.string()), {}, PortUse::Missing, {}};
        port.Coms = comsOf(port.Target);
        listing.Ports.push_back(port.Target.empty() ? port : withProbe(port, link.string()));
    }

    // USB adapters first: a scanner is far more often on one of them.
    unsigned hidden = 0;
    unsigned untold = 0;
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        std::vector<std::pair<long, fs::path>> devices;
        for (const fs::path& path : Entries(places.DevDir)) {
            const long n = NumberAfter(path.filename().string(), prefix);
            if (n >= 0)
                devices.emplace_back(n, path);
        }
        std::sort(devices.begin(), devices.end());
        const bool uarts = std::strcmp(prefix, "ttyS") == 0;
        for (const auto& [n, path] : devices) {
            ListedPort port{
                comsOf(Resolved(path.string())), prefix, path.string(), {}, {}, PortUse::Unknown, {}};
            const Probe probe = ProbeDevice(path.string());
            port.Use = probe.Use;
            port.Note = probe.Note;
            if (uarts) {
                // Linux makes ttyS0..31 whether or not a UART is there.
                if (probe.UartType == PORT_UNKNOWN) {
                    ++hidden;
                    continue;
                }
                if (probe.UartType < 0) {
                    port.About = "cannot tell whether a UART backs it";
                    ++untold;
                } else {
                    const char* name = UartName(probe.UartType);
                    port.About =
                        name ? std::string("UART ") + name : "UART type " + std::to_string(probe.UartType);
                }
            }
            listing.Ports.push_back(port);
        }
    }
    if (hidden > 0)
        listing.Notes.push_back("ttyS: " + std::to_string(hidden) + " without a UART not shown");
    if (untold > 0)
        listing.Notes.push_back("ttyS: " + std::to_string(untold) +
                                " shown though whether a UART backs them cannot be told");
    return listing;
}

PortListing ListSystemPorts(unsigned /*firstOpened*/)
{
    return ListPorts(SystemPortPlaces());
}
