// The serial ports this system has, for `monitor --list`: found without the
// driver library, so that a shop can see which COM its scanner is on before
// anything else works.
#pragma once

#include <string>
#include <vector>

enum class PortUse {
    Free,    // opened and closed again: nobody holds it
    InUse,   // held open elsewhere
    Missing, // the name leads nowhere
    Unknown, // could not be opened for another reason (in Note)
};

struct ListedPort {
    std::vector<unsigned> Coms; // the COM numbers the driver reaches it by; empty: none
    std::string Kind;           // where it was found
    std::string Name;           // the port's name or path
    std::string Target;         // where a name or link leads, when elsewhere
    std::string About;          // what the system says of it
    PortUse Use = PortUse::Unknown;
    std::string Note; // why Use is Unknown
};

struct PortListing {
    std::vector<ListedPort> Ports;
    std::vector<std::string> Notes; // about the listing as a whole
};

// The ports of this system, as the platform's own code finds them. Ports
// numbered below firstOpened are listed as the system names them but never
// opened to see whether they are in use (tests keep off COM1 that way).
PortListing ListSystemPorts(unsigned firstOpened = 1);

// COMn as the driver opens it (on Linux: its [Ports] path in Belvor.ini, else
// the comN link, else ttyS), opened exclusively and closed at once.
PortUse ProbeCom(unsigned n);

// One line for a port: COM numbers, name, target, what is known, use.
std::string FormatPort(const ListedPort& port);
