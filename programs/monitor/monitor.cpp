// Monitor: a small host that loads the scanner driver, prints every code as
// it arrives, and shuts the driver down cleanly on Ctrl-C.
#include "platform/errors.h"
#include "programs/host/host.h"
#include "programs/monitor/ports.h"
#include "programs/monitor/report.h"

#include "belvor_version.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex gPrint;
unsigned long gCodes = 0;
long gPort = -1;

// The time of day, to the millisecond, that begins each code's and status's line.
std::string Clock()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char clock[16] = "??:??:??";
    if (const std::tm* local = std::localtime(&seconds))
        std::strftime(clock, sizeof clock, "%H:%M:%S", local);
    char stamp[24];
    std::snprintf(stamp, sizeof stamp, "%s.%03d", clock, static_cast<int>(ms));
    return stamp;
}

// A code's line: its time, its text and the counted string's bytes in hex
// (of a longer code, its first 255 as an EventProc gets them); then, for a
// scan the driver read something of, what it read.
void PrintCode(const unsigned char* counted, const std::string& scan)
{
    const std::string clock = Clock();
    const unsigned n = counted[0];
    std::string text;
    std::string hex;
    char byte[4];
    for (unsigned i = 0; i <= n; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", counted[i]);
        hex += byte;
        if (i == 0)
            continue;
        const unsigned char c = counted[i];
        text += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    std::lock_guard<std::mutex> guard(gPrint);
    ++gCodes;
    std::printf("%s  %-20s [%s]\n", clock.c_str(), ("\"" + text + "\"").c_str(), hex.c_str());
    if (!scan.empty())
        std::printf("              %s\n", scan.c_str());
    std::fflush(stdout);
}

void BELVOR_CALL OnCode(const unsigned char* counted)
{
    PrintCode(counted, {});
}

void BELVOR_CALL OnScan(const BelvorScan* scan, void*)
{
    unsigned char counted[256];
    const uint32_t n = scan->data_length < 255 ? scan->data_length : 255;
    counted[0] = static_cast<unsigned char>(n);
    std::memcpy(counted + 1, scan->data, n);
    PrintCode(counted, ScanText(*scan));
}

void BELVOR_CALL OnStatus(int32_t, int32_t status, uint32_t detail, void*)
{
    const std::string line =
        Clock() + "  " + StatusText(gPort, status, detail, belvor::platform::SystemMessage(detail));
    std::lock_guard<std::mutex> guard(gPrint);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void PrintStats(const BelvorFunctions& belvor, int32_t index)
{
    BelvorStats stats{};
    stats.size = sizeof stats;
    std::lock_guard<std::mutex> guard(gPrint);
    if (!belvor.GetDriverStats)
        std::printf("monitor: no statistics: the library has no GetDriverStats\n");
    else if (belvor.GetDriverStats(index, &stats) != 0)
        std::printf("monitor: no statistics: %s\n", LastErrorText().c_str());
    else
        for (const std::string& line : StatsText(stats))
            std::printf("monitor: %s\n", line.c_str());
    std::fflush(stdout);
}

int Usage()
{
    std::fprintf(stderr, "usage: monitor [--library PATH] [--seconds N] [--stats[=N]] PORT\n"
                         "       monitor --list\n"
                         "       monitor --version\n"
                         "  Opens COM<PORT> through the Belvor driver and prints every code:\n"
                         "  the time, the text, and the counted string's bytes in hex.\n"
                         "  Lines for the scanner lost and back and for codes cut or dropped\n"
                         "  come among the codes. Ctrl-C (or the end of --seconds) destroys\n"
                         "  the driver and exits. --stats prints the driver's statistics before\n"
                         "  that, and with =N every N seconds too.\n"
                         "  --list prints the serial ports present, one a line, and which are\n"
                         "  in use elsewhere; it needs no driver library.\n");
    return 2;
}

int List()
{
    const PortListing listing = ListSystemPorts();
    for (const ListedPort& port : listing.Ports)
        std::printf("%s\n", FormatPort(port).c_str());
    if (listing.Ports.empty())
        std::printf("monitor: no serial ports found\n");
    for (const std::string& note : listing.Notes)
        std::printf("monitor: %s\n", note.c_str());
    return 0;
}

struct Options {
    std::string Library;
    double Seconds = 0;
    long Port = -1;
    bool Stats = false;
    double StatsEvery = 0; // seconds; 0: at exit only
};

bool ParseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--library") && i + 1 < argc)
            o.Library = argv[++i];
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            o.Seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--stats"))
            o.Stats = true;
        else if (!std::strncmp(argv[i], "--stats=", 8) && (o.StatsEvery = std::atof(argv[i] + 8)) > 0)
            o.Stats = true;
        else if (argv[i][0] != '-' && o.Port < 0)
            o.Port = std::strtol(argv[i], nullptr, 10);
        else
            return false;
    }
    return o.Port >= 1 && o.Port <= 255;
}

// Until Ctrl-C or the end of --seconds, with the statistics every --stats=N seconds.
void Watch(const Options& o, const BelvorFunctions& belvor, int32_t index)
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto every =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.StatsEvery));
    auto nextStats = start + every;
    while (!StopRequested()) {
        const auto now = Clock::now();
        if (o.Seconds > 0 && now - start > std::chrono::duration<double>(o.Seconds))
            break;
        if (o.StatsEvery > 0 && now >= nextStats) {
            PrintStats(belvor, index);
            nextStats += every;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && !std::strcmp(argv[1], "--list"))
        return List();
    if (argc == 2 && !std::strcmp(argv[1], "--version")) {
        std::printf("monitor (Belvor) %s\n", BELVOR_VERSION);
        return 0;
    }
    Options o;
    if (!ParseOptions(argc, argv, o))
        return Usage();

    BelvorFunctions belvor;
    std::string error;
    if (!LoadBelvorLibrary(o.Library, belvor, error)) {
        std::fprintf(stderr, "monitor: %s\n", error.c_str());
        return 1;
    }
    InstallStopHandler();
    gPort = o.Port;
    if (belvor.SetStatusProc)
        belvor.SetStatusProc(&OnStatus, nullptr);
    // What a code is, where the library can tell it; its line is as before.
    if (belvor.SetScanProc)
        belvor.SetScanProc(&OnScan, nullptr);
    const int32_t index = belvor.InitDriver(static_cast<uint32_t>(o.Port), &OnCode);
    if (index < 0) {
        std::fprintf(stderr, "monitor: cannot drive COM%ld: %s\n", o.Port, LastErrorText().c_str());
        return 1;
    }
    std::printf("monitor: driver %d on COM%ld; waiting for codes (Ctrl-C to stop)\n", index, o.Port);
    std::fflush(stdout);
    Watch(o, belvor, index);
    if (o.Stats)
        PrintStats(belvor, index);
    const int32_t left = belvor.DestroyDriver();
    std::lock_guard<std::mutex> guard(gPrint);
    std::printf("monitor: %lu code(s); driver destroyed, %d left\n", gCodes, left);
    return left == 0 ? 0 : 1;
}
