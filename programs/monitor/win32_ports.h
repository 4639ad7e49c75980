// Windows ports: the registry's SERIALCOMM, the COM DOS devices, SetupAPI's
// friendly names.
#pragma once

#include "programs/monitor/ports.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: (device, "COMn") pairs.
std::vector<std::pair<std::string, std::string>> SerialCommEntries();

// The DOS device names that start with COM, each with what it stands for.
std::vector<std::pair<std::string, std::string>> DosComDevices();

// The friendly names of the Ports class devices, by their "COMn".
std::map<std::string, std::string> FriendlyNames();

// What a failed exclusive open of a COM port says of it.
PortUse UseOfOpenError(unsigned long error);

// Opens \\.\name exclusively, as the driver does, and closes it at once; note
// says why when the answer is Unknown.
PortUse ProbePort(const std::string& name, std::string& note);
