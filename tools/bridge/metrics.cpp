#include "tools/bridge/metrics.h"

#include <string_view>

namespace belvor::bridge {

namespace {

void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& out, std::string_view name, std::string_view labels, uint64_t value)
{
    out.append(name);
    if (!labels.empty())
        out.append("{").append(labels).append("}");
    out.append(" ").append(std::to_string(value)).append("\n");
}

std::string PortLabel(uint32_t port)
{
    return "port=\"" + std::to_string(port) + "\"";
}

// One family with one sample per scanner.
template <class Value>
void PerPort(std::string& out, const std::vector<ScannerReport>& scanners, std::string_view name,
             std::string_view type, std::string_view help, Value value)
{
    Family(out, name, type, help);
    for (const ScannerReport& scanner : scanners)
        Sample(out, name, PortLabel(scanner.port), value(scanner.stats));
}

} // namespace

std::string RenderMetrics(const std::vector<ScannerReport>& scanners, const BridgeCounters& bridge)
{
    std::string out;
    // Every term only grows, so their sum does across scrapes; the codes still
    // queued are a gauge of their own.
    PerPort(out, scanners, "belvor_codes_total", "counter",
            "Codes read from the scanner and taken from its queue, or dropped while it was full.",
            [](const BelvorStats& s) { return s.codes_delivered + s.codes_undelivered + s.codes_dropped; });
    PerPort(out, scanners, "belvor_codes_cut_total", "counter", "Codes cut to the longest length allowed.",
            [](const BelvorStats& s) { return s.codes_cut; });
    PerPort(out, scanners, "belvor_codes_dropped_total", "counter", "Codes dropped while the queue was full.",
            [](const BelvorStats& s) { return s.codes_dropped; });
    PerPort(out, scanners, "belvor_losses_total", "counter", "Times the scanner was lost.",
            [](const BelvorStats& s) { return s.losses; });
    Family(out, "belvor_line_errors_total", "counter", "Line errors as the device reported them.");
    for (const ScannerReport& scanner : scanners) {
        const std::string port = PortLabel(scanner.port);
        const BelvorStats& s = scanner.stats;
        Sample(out, "belvor_line_errors_total", port + ",kind=\"overrun\"", s.overruns);
        Sample(out, "belvor_line_errors_total", port + ",kind=\"parity\"", s.parity_errors);
        Sample(out, "belvor_line_errors_total", port + ",kind=\"framing\"", s.framing_errors);
        Sample(out, "belvor_line_errors_total", port + ",kind=\"break\"", s.breaks);
    }
    PerPort(out, scanners, "belvor_scanner_up", "gauge", "1 while the scanner's port is open, else 0.",
            [](const BelvorStats& s) -> uint64_t { return s.state == BELVOR_PORT_OPEN ? 1 : 0; });
    PerPort(out, scanners, "belvor_reader_stalled", "gauge",
            "1 while the port's reader has made no round for 5 s, else 0.",
            [](const BelvorStats& s) -> uint64_t { return s.reader_stalled; });
    PerPort(out, scanners, "belvor_reader_stalls_total", "counter", "Times the port's reader stalled.",
            [](const BelvorStats& s) { return s.reader_stalls; });
    Family(out, "belvor_bridge_clients", "gauge", "WebSocket clients connected.");
    Sample(out, "belvor_bridge_clients", "", bridge.clients);
    Family(out, "belvor_bridge_clients_closed_slow_total", "counter",
           "WebSocket clients closed for falling too far behind.");
    Sample(out, "belvor_bridge_clients_closed_slow_total", "", bridge.closedSlow);
    return out;
}

} // namespace belvor::bridge
