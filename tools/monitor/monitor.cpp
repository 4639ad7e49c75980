// Monitor: a small host that loads the scanner driver, prints every code as
// it arrives, and shuts the driver down cleanly on Ctrl-C.
#include "tools/monitor/host.h"
#include "tools/monitor/ports.h"

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

void BELVOR_CALL OnCode(const unsigned char* counted)
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    char clock[16] = "??:??:??";
    if (const std::tm* local = std::localtime(&seconds))
        std::strftime(clock, sizeof clock, "%H:%M:%S", local);

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
    std::printf("%s.%03d  %-20s [%s]\n", clock, static_cast<int>(ms), ("\"" + text + "\"").c_str(),
                hex.c_str());
    std::fflush(stdout);
}

int Usage()
{
    std::fprintf(stderr, "usage: monitor [--library PATH] [--seconds N] PORT\n"
                         "       monitor --list\n"
                         "       monitor --version\n"
                         "  Opens COM<PORT> through the Belvor driver and prints every code:\n"
                         "  the time, the text, and the counted string's bytes in hex.\n"
                         "  Ctrl-C (or the end of --seconds) destroys the driver and exits.\n"
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

} // namespace

int main(int argc, char** argv)
{
    std::string library;
    double seconds = 0;
    long port = -1;
    if (argc == 2 && !std::strcmp(argv[1], "--list"))
        return List();
    if (argc == 2 && !std::strcmp(argv[1], "--version")) {
        std::printf("monitor (Belvor) %s\n", BELVOR_VERSION);
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--library") && i + 1 < argc)
            library = argv[++i];
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (argv[i][0] != '-' && port < 0)
            port = std::strtol(argv[i], nullptr, 10);
        else
            return Usage();
    }
    if (port < 1 || port > 255)
        return Usage();

    BelvorFunctions belvor;
    std::string error;
    if (!LoadBelvorLibrary(library, belvor, error)) {
        std::fprintf(stderr, "monitor: %s\n", error.c_str());
        return 1;
    }
    InstallStopHandler();
    const int32_t index = belvor.InitDriver(static_cast<uint32_t>(port), &OnCode);
    if (index < 0) {
        std::fprintf(stderr, "monitor: cannot drive COM%ld: %s\n", port, LastErrorText().c_str());
        return 1;
    }
    std::printf("monitor: driver %d on COM%ld; waiting for codes (Ctrl-C to stop)\n", index, port);
    std::fflush(stdout);

    const auto start = std::chrono::steady_clock::now();
    while (!StopRequested()) {
        if (seconds > 0 && std::chrono::steady_clock::now() - start > std::chrono::duration<double>(seconds))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const int32_t left = belvor.DestroyDriver();
    std::lock_guard<std::mutex> guard(gPrint);
    std::printf("monitor: %lu code(s); driver destroyed, %d left\n", gCodes, left);
    return left == 0 ? 0 : 1;
}
