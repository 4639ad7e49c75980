// What the bridge is told to do: its command line over Belvor.ini's [Bridge] section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace belvor::bridge {

// Loopback only, on a port below both systems' ephemeral ranges that no common tool claims.
inline constexpr const char* kDefaultListenAddress = "127.0.0.1";
inline constexpr uint16_t kDefaultListenPort = 29170;
// The library's drivers at once.
inline constexpr size_t kMaxScanners = 10;

struct BridgeOptions {
    std::vector<uint32_t> ports; // COMn, in the order the drivers are made
    std::string listenAddress = kDefaultListenAddress;
    uint16_t listenPort = kDefaultListenPort;
    std::vector<std::string> allowedOrigins; // scheme://host[:port], compared exactly
    // A second listener that serves GET /metrics and nothing else (port 0: none),
    // so that monitoring may reach it from the LAN while the scans stay on loopback.
    std::string metricsAddress;
    uint16_t metricsPort = 0;
    std::string library; // empty: the one beside the program
    // Windows: --install-service, --uninstall-service, and --service (how the
    // service manager starts it).
    enum class Service { None, Install, Uninstall, Run } service = Service::None;
    // With --install-service: started by an administrator, neither now nor with Windows
    // (a fleet's installer that leaves the till's settings for later).
    bool manualStart = false;
    bool help = false;
    bool version = false;
};

// A [Bridge] key's value as Belvor.ini has it; nullopt when the key is missing.
using SectionReader = std::function<std::optional<std::string>(const char* key)>;

// A key's value in a section of Belvor.ini; nullopt when the key is missing.
using ProfileReader = std::function<std::optional<std::string>(const char* section, const char* key)>;

// Whether the driver opens COMn again once it is lost: Reconnect= of [COMn],
// else of [Port], read as the driver reads it (0 or 1; any other value is
// passed over as if missing). Unset: yes.
bool PortReconnects(const ProfileReader& read, uint32_t port);

// Fills options from the section's Ports=, Listen=, MetricsListen= and
// AllowOrigin=, then from the command line (the program's name left out),
// whose keys replace the file's. False with the reason in error for a value
// that cannot be used, or a listening option given twice on the command line.
bool ParseOptions(const SectionReader& section, const std::vector<std::string>& args, BridgeOptions& options,
                  std::string& error);

// "ADDR:PORT", or "[v6]:PORT", into its parts.
bool ParseListen(const std::string& text, std::string& address, uint16_t& port);

// Whether text is an origin as a browser sends it: scheme://host[:port], no path.
bool IsOrigin(const std::string& text);

// Args as one Windows command line that the C runtime splits back into the
// same args: what the service manager is told to run.
std::string WindowsCommandLine(const std::vector<std::string>& args);

// The text --help prints.
std::string UsageText();

} // namespace belvor::bridge
