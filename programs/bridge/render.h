// What the bridge sends: its WebSocket messages and /scanners, as JSON text.
#pragma once

#include "belvor.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace belvor::bridge {

// A scanner as the bridge reports it; stats is all zero when the library gave none.
struct ScannerReport {
    uint32_t port = 0;
    BelvorStats stats{};
};

// A scanner's state as hello, status and /scanners name it: "open", "lost" or "gone".
const char* StateName(uint32_t belvorPortState);

// The bytes as Windows-1252 reads them, in UTF-8; the five bytes that code page
// leaves undefined become the C1 control characters of the same number.
std::string DecodeWindows1252(std::string_view bytes);

// "2026-12-07T11:28:35.123Z": UTC, to the millisecond.
std::string FormatUtcTime(std::chrono::system_clock::time_point time);

struct PortState {
    uint32_t port = 0;
    const char* state = "open";
};

// A code as the bridge passes it on: its bytes and what the library read of
// them, copied out of the driver's call.
struct ScannedCode {
    struct Gs1Error {
        std::string ai;
        uint32_t kind = 0; // BELVOR_GS1_*
        uint32_t position = 0;
    };
    // A plain code, of a library that reads nothing: typed unknown, its label itself.
    ScannedCode(std::string_view plain = {}) : bytes(plain), label(plain) {}
    explicit ScannedCode(const BelvorScan& scan);

    std::string bytes;
    std::string aim;        // "]d2", or empty
    uint32_t symbology = 0; // BELVOR_SCAN_UNKNOWN or a ScanDataType number
    std::string label;
    std::vector<std::pair<std::string, std::string>> gs1; // AI and value, in the order scanned
    std::vector<Gs1Error> gs1Errors;
};

std::string HelloMessage(const std::vector<PortState>& ports);
std::string CodeMessage(uint32_t port, const ScannedCode& code,
                        std::chrono::system_clock::time_point received);
// A StatusProc's call (BELVOR_STATUS_*) as a status message; empty for a status
// it does not know. gone: a loss for good (Reconnect=0), said as "gone".
std::string StatusMessage(uint32_t port, int32_t status, uint32_t detail, bool gone = false);

// GET /scanners: every port's state and every BelvorStats field by its C name.
std::string ScannersJson(const std::vector<ScannerReport>& scanners);

} // namespace belvor::bridge
