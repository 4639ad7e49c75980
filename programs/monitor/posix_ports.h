// Linux ports as the driver reaches them: [Ports] entries, comN links, then ttyS.
#pragma once

#include "programs/monitor/ports.h"

#include <string>

struct PortPlaces {
    std::string SystemDir;  // holds the comN links
    std::string ConfigPath; // Belvor.ini, with its [Ports] section
    std::string DevDir;     // /dev
};

// The places the driver itself looks.
PortPlaces SystemPortPlaces();

PortListing ListPorts(const PortPlaces& places);

// Opens path as the driver would and closes it at once; note says why when
// the answer is Unknown.
PortUse ProbePort(const std::string& path, std::string& note);
