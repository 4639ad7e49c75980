#include "programs/bridge/render.h"

#include <boost/beast/core/detail/base64.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <iterator>

namespace belvor::bridge {

namespace {

// Windows-1252's 0x80 to 0x9F; the undefined five keep their own number (C1).
constexpr char16_t kHigh1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(char16_t c, std::string& out)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Base64(std::string_view bytes)
{
    namespace base64 = boost::beast::detail::base64;
    std::string out(base64::encoded_size(bytes.size()), '\0');
    out.resize(base64::encode(out.data(), bytes.data(), bytes.size()));
    return out;
}

} // namespace

const char* StateName(uint32_t belvorPortState)
{
    switch (belvorPortState) {
    case BELVOR_PORT_LOST:
        return "lost";
    case BELVOR_PORT_GONE:
        return "gone";
    default:
        return "open";
    }
}

std::string DecodeWindows1252(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        AppendUtf8(c >= 0x80 && c < 0xA0 ? kHigh1252[c - 0x80] : char16_t{c}, out);
    }
    return out;
}

std::string FormatUtcTime(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date(day);
    const hh_mm_ss clock(ms - day);
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                  static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

std::string HelloMessage(const std::vector<PortState>& ports)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const PortState& port : ports)
        list.push_back({{"port", port.port}, {"state", port.state}});
    return nlohmann::ordered_json{{"type", "hello"}, {"ports", list}}.dump();
}

ScannedCode::ScannedCode(const BelvorScan& scan)
    : bytes(reinterpret_cast<const char*>(scan.data), scan.data_length), aim(scan.aim), symbology(scan.type),
      label(reinterpret_cast<const char*>(scan.label), scan.label_length)
{
    for (uint32_t i = 0; i < scan.field_count; ++i)
        gs1.emplace_back(scan.fields[i].ai, std::string(reinterpret_cast<const char*>(scan.fields[i].value),
                                                        scan.fields[i].value_length));
    for (uint32_t i = 0; i < scan.error_count; ++i)
        gs1Errors.push_back({scan.errors[i].ai, scan.errors[i].kind, scan.errors[i].position});
}

std::string CodeMessage(uint32_t port, const ScannedCode& code,
                        std::chrono::system_clock::time_point received)
{
    // The names of BELVOR_GS1_*, by number.
    static constexpr const char* kErrorNames[] = {"",
                                                  "unknown_ai",
                                                  "too_short",
                                                  "too_long",
                                                  "bad_character",
                                                  "check_digit",
                                                  "bad_date",
                                                  "bad_time",
                                                  "bad_country",
                                                  "bad_currency",
                                                  "bad_key",
                                                  "bad_value",
                                                  "bad_qualifier",
                                                  "not_attribute",
                                                  "bad_uri"};
    nlohmann::ordered_json gs1 = nlohmann::ordered_json::array();
    for (const auto& [ai, value] : code.gs1)
        gs1.push_back({{"ai", ai}, {"value", DecodeWindows1252(value)}});
    nlohmann::ordered_json errors = nlohmann::ordered_json::array();
    for (const ScannedCode::Gs1Error& error : code.gs1Errors)
        errors.push_back({{"ai", error.ai},
                          {"error", error.kind < std::size(kErrorNames) ? kErrorNames[error.kind] : ""},
                          {"position", error.position}});
    return nlohmann::ordered_json{{"type", "code"},
                                  {"port", port},
                                  {"text", DecodeWindows1252(code.bytes)},
                                  {"bytes", Base64(code.bytes)},
                                  {"time", FormatUtcTime(received)},
                                  {"aim", code.aim},
                                  {"symbology", code.symbology},
                                  {"label", DecodeWindows1252(code.label)},
                                  {"gs1", gs1},
                                  {"gs1_errors", errors}}
        .dump();
}

std::string StatusMessage(uint32_t port, int32_t status, uint32_t detail, bool gone)
{
    nlohmann::ordered_json message{{"type", "status"}, {"port", port}};
    switch (status) {
    case BELVOR_STATUS_LOST:
        message["state"] = gone ? "gone" : "lost";
        message["error"] = detail;
        break;
    case BELVOR_STATUS_BACK:
        message["state"] = "back";
        break;
    case BELVOR_STATUS_CODES_DROPPED:
        message["state"] = "dropped";
        message["count"] = detail;
        break;
    case BELVOR_STATUS_CODE_CUT:
        message["state"] = "cut";
        message["length"] = detail;
        break;
    case BELVOR_STATUS_STALLED:
        message["state"] = detail != 0 ? "stalled" : "running";
        if (detail != 0)
            message["ms"] = detail;
        break;
    default:
        return {};
    }
    return message.dump();
}

std::string ScannersJson(const std::vector<ScannerReport>& scanners)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const ScannerReport& scanner : scanners) {
        const BelvorStats& s = scanner.stats;
        list.push_back({{"port", scanner.port},
                        {"state", StateName(s.state)},
                        {"last_error", s.last_error},
                        {"codes_delivered", s.codes_delivered},
                        {"codes_undelivered", s.codes_undelivered},
                        {"codes_cut", s.codes_cut},
                        {"codes_dropped", s.codes_dropped},
                        {"bytes_received", s.bytes_received},
                        {"bytes_refused", s.bytes_refused},
                        {"overruns", s.overruns},
                        {"parity_errors", s.parity_errors},
                        {"framing_errors", s.framing_errors},
                        {"breaks", s.breaks},
                        {"losses", s.losses},
                        {"returns", s.returns},
                        {"queue_length", s.queue_length},
                        {"queue_high", s.queue_high},
                        {"ms_since_code", s.ms_since_code},
                        {"reader_stalled", s.reader_stalled != 0},
                        {"reader_stalls", s.reader_stalls},
                        {"ms_since_round", s.ms_since_round},
                        {"codes_unidentified", s.codes_unidentified}});
    }
    return nlohmann::ordered_json{{"scanners", list}}.dump();
}

} // namespace belvor::bridge
