#include "programs/bridge/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <utility>

namespace belvor::bridge {

namespace {

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The comma-separated items of a list, each trimmed; empty items are left out.
std::vector<std::string> ListItems(const std::string& text)
{
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        if (std::string item = Trimmed(text.substr(start, comma - start)); !item.empty())
            items.push_back(item);
        start = comma + 1;
    }
    return items;
}

template <class T> bool ParseNumber(const std::string& text, T low, T high, T& value)
{
    const char* end = text.data() + text.size();
    const auto [at, failure] = std::from_chars(text.data(), end, value);
    return !text.empty() && failure == std::errc() && at == end && value >= low && value <= high;
}

bool AddPort(const std::string& text, std::vector<uint32_t>& ports, std::string& error)
{
    uint32_t port = 0;
    if (!ParseNumber<uint32_t>(text, 1, 255, port)) {
        error = "not a COM port number (1 to 255): " + text;
        return false;
    }
    if (std::find(ports.begin(), ports.end(), port) != ports.end()) {
        error = "COM" + text + " is named twice";
        return false;
    }
    ports.push_back(port);
    return true;
}

bool AddOrigin(const std::string& text, std::vector<std::string>& origins, std::string& error)
{
    if (!IsOrigin(text)) {
        error = "not an origin (scheme://host[:port], no path): " + text;
        return false;
    }
    origins.push_back(text);
    return true;
}

bool ApplySection(const SectionReader& section, BridgeOptions& options, std::string& error)
{
    if (const auto ports = section("Ports"))
        for (const std::string& item : ListItems(*ports))
            if (!AddPort(item, options.ports, error))
                return false;
    if (const auto listen = section("Listen"); listen && !Trimmed(*listen).empty())
        if (!ParseListen(Trimmed(*listen), options.listenAddress, options.listenPort)) {
            error = "[Bridge] Listen= is not ADDR:PORT: " + *listen;
            return false;
        }
    if (const auto listen = section("MetricsListen"); listen && !Trimmed(*listen).empty())
        if (!ParseListen(Trimmed(*listen), options.metricsAddress, options.metricsPort)) {
            error = "[Bridge] MetricsListen= is not ADDR:PORT: " + *listen;
            return false;
        }
    if (const auto origins = section("AllowOrigin"))
        for (const std::string& item : ListItems(*origins))
            if (!AddOrigin(item, options.allowedOrigins, error))
                return false;
    return true;
}

// The command line's value for an option that takes one: "--name value" or "--name=value".
bool TakeValue(const std::vector<std::string>& args, size_t& i, const std::string& name, std::string& value)
{
    const std::string& arg = args[i];
    if (arg.rfind(name + "=", 0) == 0) {
        value = arg.substr(name.size() + 1);
        return true;
    }
    if (arg != name || i + 1 >= args.size())
        return false;
    value = args[++i];
    return true;
}

std::optional<BridgeOptions::Service> ServiceOption(const std::string& arg)
{
    if (arg == "--install-service")
        return BridgeOptions::Service::Install;
    if (arg == "--uninstall-service")
        return BridgeOptions::Service::Uninstall;
    if (arg == "--service")
        return BridgeOptions::Service::Run;
    return std::nullopt;
}

} // namespace

bool ParseListen(const std::string& text, std::string& address, uint16_t& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return false;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false; // a v6 address needs its brackets
    }
    if (!ParseNumber<uint16_t>(text.substr(colon + 1), 1, 65535, port))
        return false;
    address = host;
    return true;
}

bool IsOrigin(const std::string& text)
{
    const size_t scheme = text.find("://");
    if (scheme == std::string::npos || scheme == 0)
        return false;
    const auto letter = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-';
    };
    if (!std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(scheme), letter))
        return false;
    const std::string rest = text.substr(scheme + 3);
    return !rest.empty() && rest.find_first_of("/?# \t") == std::string::npos;
}

bool ParseOptions(const SectionReader& section, const std::vector<std::string>& args, BridgeOptions& options,
                  std::string& error)
{
    if (!ApplySection(section, options, error))
        return false;
    std::vector<uint32_t> ports;
    std::vector<std::string> origins;
    std::string value;
    bool listen = false, metricsListen = false; // given on the command line
    const auto once = [&error](bool& given, const std::string& name) {
        if (given)
            error = name + " is given twice: one address each";
        return !std::exchange(given, true);
    };
    // An address to listen on, given once.
    const auto listenAt = [&](bool& given, const std::string& name, const std::string& text,
                              std::string& address, uint16_t& port) {
        if (!once(given, name))
            return false;
        if (!ParseListen(text, address, port)) {
            error = name + " is not ADDR:PORT: " + text;
            return false;
        }
        return true;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            options.help = true;
        } else if (args[i] == "--version") {
            options.version = true;
        } else if (const auto action = ServiceOption(args[i])) {
            if (options.service != BridgeOptions::Service::None) {
                error = "one service option at a time: " + args[i];
                return false;
            }
            options.service = *action;
        } else if (args[i] == "--manual-start") {
            options.manualStart = true;
        } else if (TakeValue(args, i, "--port", value)) {
            // A list too, as in Belvor.ini: an installer passes one property for all of them.
            for (const std::string& item : ListItems(value))
                if (!AddPort(item, ports, error))
                    return false;
        } else if (TakeValue(args, i, "--allow-origin", value)) {
            for (const std::string& item : ListItems(value))
                if (!AddOrigin(item, origins, error))
                    return false;
        } else if (TakeValue(args, i, "--listen", value)) {
            if (!listenAt(listen, "--listen", value, options.listenAddress, options.listenPort))
                return false;
        } else if (TakeValue(args, i, "--metrics-listen", value)) {
            if (!listenAt(metricsListen, "--metrics-listen", value, options.metricsAddress,
                          options.metricsPort))
                return false;
        } else if (TakeValue(args, i, "--library", value)) {
            options.library = value;
        } else {
            error = "unknown or incomplete option: " + args[i];
            return false;
        }
    }
    if (options.manualStart && options.service != BridgeOptions::Service::Install) {
        error = "--manual-start goes with --install-service";
        return false;
    }
    if (!ports.empty())
        options.ports = ports;
    if (!origins.empty())
        options.allowedOrigins = origins;
    if (options.metricsPort != 0 && options.metricsPort == options.listenPort &&
        options.metricsAddress == options.listenAddress) {
        error = "the metrics listener is the main one: give it an address or port of its own";
        return false;
    }
    if (options.ports.size() > kMaxScanners) {
        error = "at most " + std::to_string(kMaxScanners) + " ports: the library serves as many scanners";
        return false;
    }
    if (options.ports.empty() && !options.help && !options.version &&
        options.service != BridgeOptions::Service::Uninstall) {
        error = "no port: give --port N or [Bridge] Ports= in Belvor.ini";
        return false;
    }
    return true;
}

bool PortReconnects(const ProfileReader& read, uint32_t port)
{
    const std::string own = "COM" + std::to_string(port);
    for (const char* section : {own.c_str(), "Port"})
        if (const std::optional<std::string> value = read(section, "Reconnect"); value == "0" || value == "1")
            return *value == "1";
    return true;
}

std::string WindowsCommandLine(const std::vector<std::string>& args)
{
    // The C runtime's rule: backslashes are literal unless a quote follows them.
    std::string line;
    for (const std::string& arg : args) {
        if (!line.empty())
            line += ' ';
        if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
            line += arg;
            continue;
        }
        line += '"';
        size_t backslashes = 0;
        for (const char c : arg) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, '\\');
        line += '"';
    }
    return line;
}

std::string UsageText()
{
    return "usage: belvor-bridge --port N [--port N ...] [--listen ADDR:PORT] [--allow-origin ORIGIN]...\n"
           "                     [--metrics-listen ADDR:PORT] [--library PATH] [--help] [--version]\n"
           "Serves the scanners on COM<N> to browser tills (WebSocket /scans) and to monitoring\n"
           "(GET /scanners, GET /metrics), on 127.0.0.1:29170 unless --listen says otherwise.\n"
           "--metrics-listen adds a listener that serves GET /metrics only (e.g. on the LAN).\n"
           "Belvor.ini [Bridge] holds the same: Ports=3,5  Listen=ADDR:PORT  MetricsListen=ADDR:PORT\n"
           "AllowOrigin=O1, O2 (the command line wins; --port and --allow-origin take such lists too).\n"
           "Windows: --install-service [options] installs and starts the service BelvorBridge\n"
           "(automatic start, restarted after a failure), run with those options (with --manual-start:\n"
           "neither started now nor with Windows, but by an administrator); --uninstall-service\n"
           "stops and removes it. Its messages go to Log\\belvor-bridge.log beside Belvor.ini (else to the\n"
           "event log).\n";
}

} // namespace belvor::bridge
