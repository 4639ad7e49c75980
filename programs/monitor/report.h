// The monitor's words for what the driver tells besides codes: its status
// calls and its statistics.
#pragma once

#include "belvor.h"

#include <string>
#include <vector>

// One status call of the driver on COM<port>, as a line without its time;
// lostReason is the system's text for a loss's error code.
std::string StatusText(long port, int32_t status, uint32_t detail, const std::string& lostReason);

// What a scan is, when the driver read anything of it: its identifier and
// type, its GS1 fields and what is wrong with them; empty for a plain code.
std::string ScanText(const BelvorScan& scan);

// A driver's statistics, in a few lines.
std::vector<std::string> StatsText(const BelvorStats& stats);
