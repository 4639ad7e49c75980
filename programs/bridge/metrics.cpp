#include "programs/bridge/metrics.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace belvor::bridge {

namespace {

void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help)
{
    out.append("# HELP ").append(name).append(" ").append(help).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void SampleText(std::string& out, std::string_view name, std::string_view labels, std::string_view value)
{
    out.append(name);
    if (!labels.empty())
        out.append("{").append(labels).append("}");
    out.append(" ").append(value).append("\n");
}

void Sample(std::string& out, std::string_view name, std::string_view labels, uint64_t value)
{
    SampleText(out, name, labels, std::to_string(value));
}

// Milliseconds as seconds, exactly: "-0.001" for -1.
std::string Seconds(int64_t ms)
{
    const std::string sign = ms < 0 ? "-" : "";
    const uint64_t magnitude = ms < 0 ? static_cast<uint64_t>(-ms) : static_cast<uint64_t>(ms);
    std::string fraction = std::to_string(magnitude % 1000);
    return sign + std::to_string(magnitude / 1000) + "." + std::string(3 - fraction.size(), '0') + fraction;
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
    PerPort(out, scanners, "belvor_codes_delivered_total", "counter",
            "Codes handed to the bridge's callback.", [](const BelvorStats& s) { return s.codes_delivered; });
    PerPort(out, scanners, "belvor_codes_undelivered_total", "counter", "Codes that found no callback set.",
            [](const BelvorStats& s) { return s.codes_undelivered; });
    PerPort(out, scanners, "belvor_bytes_received_total", "counter",
            "Bytes taken from the port, end bytes too.",
            [](const BelvorStats& s) { return s.bytes_received; });
    PerPort(out, scanners, "belvor_bytes_refused_total", "counter",
            "Bytes left out of codes: not in the allow-list.",
            [](const BelvorStats& s) { return s.bytes_refused; });
    PerPort(out, scanners, "belvor_losses_total", "counter", "Times the scanner was lost.",
            [](const BelvorStats& s) { return s.losses; });
    PerPort(out, scanners, "belvor_returns_total", "counter", "Times the scanner came back.",
            [](const BelvorStats& s) { return s.returns; });
    PerPort(out, scanners, "belvor_queue_length", "gauge", "Codes waiting for delivery now.",
            [](const BelvorStats& s) -> uint64_t { return s.queue_length; });
    PerPort(out, scanners, "belvor_queue_high", "gauge", "The most codes that ever waited for delivery.",
            [](const BelvorStats& s) -> uint64_t { return s.queue_high; });
    PerPort(out, scanners, "belvor_last_error", "gauge", "The system's code of the last loss, 0 when none.",
            [](const BelvorStats& s) -> uint64_t { return s.last_error; });
    PerPort(out, scanners, "belvor_port_state", "gauge", "1 open, 2 lost and opened anew, 3 lost for good.",
            [](const BelvorStats& s) -> uint64_t { return s.state; });
    Family(out, "belvor_seconds_since_code", "gauge",
           "Since the scanner's last code; -0.001 before the first.");
    for (const ScannerReport& scanner : scanners)
        SampleText(out, "belvor_seconds_since_code", PortLabel(scanner.port),
                   Seconds(scanner.stats.ms_since_code));
    Family(out, "belvor_seconds_since_round", "gauge", "Since the port's reader last made a round.");
    for (const ScannerReport& scanner : scanners)
        SampleText(out, "belvor_seconds_since_round", PortLabel(scanner.port),
                   Seconds(scanner.stats.ms_since_round));
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
            "1 while the port's reader is stuck, 5 s past what a round may take, else 0.",
            [](const BelvorStats& s) -> uint64_t { return s.reader_stalled; });
    PerPort(out, scanners, "belvor_reader_stalls_total", "counter", "Times the port's reader stalled.",
            [](const BelvorStats& s) { return s.reader_stalls; });
    PerPort(out, scanners, "belvor_codes_unidentified_total", "counter",
            "Codes without a valid symbology identifier where the port expects one (SymbologyId=Aim).",
            [](const BelvorStats& s) { return s.codes_unidentified; });
    Family(out, "belvor_bridge_codes_by_symbology_total", "counter",
           "Codes the bridge passed on since it started, by port and symbology (a ScanDataType number, 0 "
           "unknown).");
    for (const BridgeCounters::SymbologyCount& count : bridge.codesBySymbology)
        Sample(out, "belvor_bridge_codes_by_symbology_total",
               PortLabel(count.port) + ",symbology=\"" + std::to_string(count.symbology) + "\"", count.codes);
    Family(out, "belvor_bridge_clients", "gauge", "WebSocket clients connected.");
    Sample(out, "belvor_bridge_clients", "", bridge.clients);
    Family(out, "belvor_bridge_clients_closed_slow_total", "counter",
           "WebSocket clients closed for falling too far behind.");
    Sample(out, "belvor_bridge_clients_closed_slow_total", "", bridge.closedSlow);
    return out;
}

} // namespace belvor::bridge
