// GET /metrics: the Prometheus text format (version 0.0.4).
#pragma once

#include "programs/bridge/render.h"

#include <cstdint>
#include <string>
#include <vector>

namespace belvor::bridge {

inline constexpr const char* kMetricsContentType = "text/plain; version=0.0.4";

struct BridgeCounters {
    uint64_t clients = 0;    // WebSocket clients connected now
    uint64_t closedSlow = 0; // closed for not keeping up with their messages
    struct SymbologyCount {
        uint32_t port = 0;
        uint32_t symbology = 0; // a ScanDataType number, 0 unknown
        uint64_t codes = 0;
    };
    std::vector<SymbologyCount> codesBySymbology; // codes passed on since the bridge started
};

std::string RenderMetrics(const std::vector<ScannerReport>& scanners, const BridgeCounters& bridge);

} // namespace belvor::bridge
