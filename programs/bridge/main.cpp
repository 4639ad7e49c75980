// belvor-bridge: serves the scanners to browser tills over a WebSocket and to
// monitoring over HTTP, on loopback unless told otherwise.
#include "programs/bridge/messages.h"
#include "programs/bridge/options.h"
#include "programs/bridge/page.h"
#include "programs/bridge/scanner_set.h"
#include "programs/bridge/server.h"
#include "programs/bridge/system.h"

#include "belvor_version.h"
#include "platform/profile.h"

#include <cstdio>
#include <exception>

namespace belvor::bridge {

namespace {

std::optional<std::string> ProfileValue(const char* section, const char* key)
{
    // A default no Belvor.ini value can hold tells a missing key from an empty one.
    static const char kMissing[] = "\x01";
    std::string value = platform::ReadProfileString(platform::ConfigFilePath(), section, key, kMissing);
    if (value == kMissing)
        return std::nullopt;
    return value;
}

std::optional<std::string> BridgeKey(const char* key)
{
    return ProfileValue("Bridge", key);
}

int Fail(const std::string& reason, int code)
{
    std::fprintf(MessageFile(), "belvor-bridge: %s\n", reason.c_str());
    return code;
}

std::string PortList(const std::vector<uint32_t>& ports)
{
    std::string list;
    for (const uint32_t port : ports)
        list += (list.empty() ? "COM" : ", COM") + std::to_string(port);
    return list;
}

// Start: the scanners, then the server. Stop: the clients closed (1001) while
// the scanners still run, then the drivers, newest first.
int Serve(const BridgeOptions& options, const BelvorFunctions& belvor, const std::function<void()>& ready)
{
    asio::io_context io(1);
    StopSignals stop(io);
    Hub hub;
    ScannerSet scanners(belvor, io, hub,
                        PortSystem{&PortFree,
                                   [](uint32_t port) { return PortReconnects(&ProfileValue, port); },
                                   &Clock::now});
    std::string error;
    scanners.Open(options.ports);
    ServerContext context{hub, AccessRules{options.listenAddress, options.listenPort, options.allowedOrigins},
                          [&scanners] { return scanners.Reports(); }, LivePage()};
    Server server(io, context);
    if (!server.Listen(options.listenAddress, options.listenPort, error))
        return Fail(error, 1);
    ServerContext metricsContext{
        hub, AccessRules{options.metricsAddress, options.metricsPort, {}}, context.scanners, {}};
    metricsContext.metricsOnly = true;
    Server metrics(io, metricsContext);
    if (options.metricsPort != 0 && !metrics.Listen(options.metricsAddress, options.metricsPort, error))
        return Fail(error, 1);
    stop.Start([&server, &metrics] {
        metrics.StopListening();
        server.Stop();
    });
    std::fprintf(MessageFile(), "belvor-bridge: %s on %s:%u\n", PortList(options.ports).c_str(),
                 options.listenAddress.c_str(), options.listenPort);
    if (options.metricsPort != 0)
        std::fprintf(MessageFile(), "belvor-bridge: metrics on %s:%u\n", options.metricsAddress.c_str(),
                     options.metricsPort);
    std::fflush(MessageFile());
    ready();
    io.run();
    return 0;
}

// ready: what to call once the bridge listens (the service reports that it runs).
int Run(const std::vector<std::string>& args, const std::function<void()>& ready)
{
    BridgeOptions options;
    std::string error;
    if (!ParseOptions(&BridgeKey, args, options, error))
        return Fail(error + "\n" + UsageText(), 2);
    if (options.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("belvor-bridge (Belvor) %s\n", BELVOR_VERSION);
        return 0;
    }
    if (options.service == BridgeOptions::Service::Uninstall)
        return UninstallService();
    if (options.library.empty())
        options.library = DefaultLibraryPath();
    BelvorFunctions belvor;
    if (!LoadBelvorLibrary(options.library, belvor, error))
        return Fail(error, 1);
    if (!belvor.SetCodeProc || !belvor.SetStatusProc || !belvor.GetDriverStats)
        return Fail("the library is too old: it lacks SetCodeProc, SetStatusProc or GetDriverStats", 1);
    if (options.service == BridgeOptions::Service::Install) {
        // The options were checked and the library found: the service runs with the same.
        std::vector<std::string> serviceArgs;
        for (const std::string& arg : args)
            if (arg != "--install-service" && arg != "--manual-start")
                serviceArgs.push_back(arg);
        return InstallService(serviceArgs, options.library, options.manualStart);
    }
    return Serve(options, belvor, ready);
}

int Main(const std::vector<std::string>& args)
{
    // Under the service manager all of it runs as the service, so that even a
    // bad option is written to the service's log and reported as a failure.
    for (const std::string& arg : args)
        if (arg == "--service")
            return RunAsService([&args](const std::function<void()>& ready) { return Run(args, ready); });
    return Run(args, [] {});
}

} // namespace

} // namespace belvor::bridge

int main(int argc, char** argv)
{
    try {
        return belvor::bridge::Main(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(belvor::bridge::MessageFile(), "belvor-bridge: %s\n", e.what());
        return 1;
    }
}
