#include "programs/monitor/report.h"

#include <iterator>
#include <string_view>
#include <utility>

namespace {

std::string Com(long port)
{
    return "COM" + std::to_string(port);
}

std::string Count(uint64_t n, const char* what)
{
    return std::to_string(n) + " " + what;
}

const char* StateText(uint32_t state)
{
    switch (state) {
    case BELVOR_PORT_OPEN:
        return "open";
    case BELVOR_PORT_LOST:
        return "lost, reopened every second";
    case BELVOR_PORT_GONE:
        return "lost for good (Reconnect=0)";
    default:
        return "in an unknown state";
    }
}

// What a till calls the fields it reads most; the others by their AI alone.
std::string FieldName(std::string_view ai)
{
    static constexpr std::pair<std::string_view, const char*> kNames[] = {
        {"01", "GTIN "}, {"10", "batch "}, {"15", "best before "}, {"17", "expiry "}, {"21", "serial "}};
    for (const auto& [number, name] : kNames)
        if (ai == number)
            return name;
    return {};
}

} // namespace

std::string StatusText(long port, int32_t status, uint32_t detail, const std::string& lostReason)
{
    switch (status) {
    case BELVOR_STATUS_LOST:
        return Com(port) + " lost: " + lostReason + " (error " + std::to_string(detail) + ")";
    case BELVOR_STATUS_BACK:
        return Com(port) + " back";
    case BELVOR_STATUS_CODES_DROPPED:
        return Com(port) + ": " + Count(detail, "code(s) dropped, the queue was full");
    case BELVOR_STATUS_CODE_CUT:
        return Com(port) + ": code cut, " + Count(detail, "characters received");
    case BELVOR_STATUS_STALLED:
        return detail != 0 ? Com(port) + ": reader stalled, no round for " + std::to_string(detail) + " ms"
                           : Com(port) + ": reader running again";
    default:
        return Com(port) + ": status " + std::to_string(status) + ", detail " + std::to_string(detail);
    }
}

std::string ScanText(const BelvorScan& scan)
{
    if (scan.type == BELVOR_SCAN_UNKNOWN && scan.field_count == 0 && scan.error_count == 0)
        return {};
    std::string text = scan.aim[0] != '\0' ? std::string(scan.aim) + " " : std::string();
    text += "type " + std::to_string(scan.type);
    if (scan.flags & BELVOR_SCAN_DIGITAL_LINK)
        text += ", Digital Link";
    for (uint32_t i = 0; i < scan.field_count; ++i) {
        const BelvorGs1Field& field = scan.fields[i];
        text += i == 0 ? ": " : "  ";
        text += FieldName(field.ai);
        text += "(" + std::string(field.ai) + ")";
        for (uint32_t k = 0; k < field.value_length; ++k) {
            const unsigned char c = field.value[k];
            text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        }
    }
    static const char* const kErrors[] = {"?",
                                          "unknown AI",
                                          "too short",
                                          "too long",
                                          "bad character",
                                          "wrong check digit",
                                          "no such date",
                                          "no such time",
                                          "no such country",
                                          "no such currency",
                                          "no company prefix",
                                          "bad value",
                                          "not a qualifier here",
                                          "not an attribute",
                                          "bad URI"};
    for (uint32_t i = 0; i < scan.error_count; ++i) {
        const BelvorGs1Error& error = scan.errors[i];
        text += i == 0 ? "; errors: " : ", ";
        if (error.ai[0] != '\0')
            text += std::string("(") + error.ai + ") ";
        text += error.kind < std::size(kErrors) ? kErrors[error.kind] : kErrors[0];
        text += " at " + std::to_string(error.position);
    }
    return text;
}

std::vector<std::string> StatsText(const BelvorStats& s)
{
    const std::string com = Com(static_cast<long>(s.port));
    const std::string last =
        s.ms_since_code < 0 ? "no code yet" : "last code " + std::to_string(s.ms_since_code) + " ms ago";
    return {
        com + " " + StateText(s.state) + "; codes " + Count(s.codes_delivered, "delivered, ") +
            Count(s.codes_undelivered, "undelivered, ") + Count(s.codes_cut, "cut, ") +
            Count(s.codes_dropped, "dropped; queue ") + std::to_string(s.queue_length) + " (at most " +
            std::to_string(s.queue_high) + ")",
        com + " bytes " + Count(s.bytes_received, "received, ") +
            Count(s.bytes_refused, "refused; line errors ") + Count(s.overruns, "overrun, ") +
            Count(s.parity_errors, "parity, ") + Count(s.framing_errors, "framing, ") +
            Count(s.breaks, "break"),
        com + " lost " + Count(s.losses, "time(s), back ") + Count(s.returns, "time(s), last error ") +
            std::to_string(s.last_error) + "; " + last,
        com + " reader " + (s.reader_stalled != 0 ? "stalled" : "running") + ", last round " +
            std::to_string(s.ms_since_round) + " ms ago; stalled " + Count(s.reader_stalls, "time(s)") +
            (s.codes_unidentified != 0 ? "; " + Count(s.codes_unidentified, "code(s) without an identifier")
                                       : std::string()),
    };
}
