#include "programs/monitor/ports.h"

#include <algorithm>

std::string FormatPort(const ListedPort& port)
{
    std::string coms;
    for (const unsigned n : port.Coms)
        coms += (coms.empty() ? "COM" : ",COM") + std::to_string(n);
    // Built anew, not assigned: g++ 12 at -O3 sees a false overlap in coms = "-".
    std::string line = coms.empty() ? std::string(1, '-') : coms;
    // Columns keep a screenful of ports readable; long values just push on.
    line.resize(std::max<size_t>(line.size() + 1, 8), ' ');
    std::string kind = port.Kind;
    kind.resize(std::max<size_t>(kind.size() + 1, 8), ' ');
    line += kind + port.Name;
    if (!port.Target.empty())
        line += " -> " + port.Target;
    if (!port.About.empty())
        line += "  (" + port.About + ")";
    switch (port.Use) {
    case PortUse::Free:
        line += "  free";
        break;
    case PortUse::InUse:
        line += "  IN USE";
        break;
    case PortUse::Missing:
        line += "  missing";
        break;
    case PortUse::Unknown:
        line += "  cannot open: " + port.Note;
        break;
    }
    return line;
}
