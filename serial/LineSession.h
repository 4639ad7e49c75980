// One open device as the port uses it: the device, the line settings the
// port's setters merge into it, and what the last look at it found. A lost device is never used again: the
// port drops its session and a reopener opens a new one.
#pragma once

#include "platform/serial_device.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace belvor {

// Where a port's device is: the path the configuration names for it (empty:
// the system's own name of COMn) and, when set, how to look that up again
// before each reopen, so that a scanner back under a name configured while it
// was away is found. Locate may run after the port is gone.
using PortLocator = std::string (*)(uint16_t portNumber) noexcept;
struct PortPlace {
    std::string Where;
    PortLocator Locate = nullptr;
};

// What a port is opened with, again after each loss.
struct LineParams {
    uint16_t PortNumber = 0;
    PortPlace Place;
    uint32_t InQueue = 0;
    uint32_t OutQueue = 0;
    // Unset: the device's own setting stays.
    std::optional<uint32_t> BaudRate;
    std::optional<uint8_t> Parity; // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::optional<uint8_t> DataBits;
    std::optional<uint8_t> StopBits; // 0 counts as one, above two as two
};

// The port's settings in the device's terms: stop bits are one or two, never
// one and a half.
platform::LineConfig LineConfigOf(const LineParams& line);

class LineSession {
public:
    explicit LineSession(std::unique_ptr<platform::SerialDevice> device) : FDevice(std::move(device)) {}

    // Opens the line again as it was: null while it is not back (not there,
    // held by another program, or not the line it was).
    static std::unique_ptr<LineSession> Reopen(const LineParams& line);

    platform::SerialDevice& Device() const { return *FDevice; }

    // Merges the settings given into the device's (those not given stay as
    // they are); fails when refused.
    platform::Result<> Merge(const platform::LineConfig& change) { return FDevice->Configure(change); }
    // Clears the device's line errors into errors; how many bytes it holds,
    // or why the status failed (then errors stay none).
    platform::Result<uint32_t> RefreshStatus(platform::LineErrors& errors);

    // Before the worker's first look (a line opened again is not asked for
    // the watches the lost one's system refused).
    void Arm(const platform::RefusedWatches& refused) { FDevice->Arm(refused); }
    // One look at the line. A look without news (a wait still going on) leaves
    // what the last one found in News(): the wait reports its own when it
    // completes; a look that failed changes nothing.
    void Look()
    {
        const platform::Result<platform::LineSighting> sighting = FDevice->Look();
        if (!sighting)
            return;
        if (sighting->News)
            FNews = *sighting->News;
        FLost = sighting->Lost;
    }
    const platform::LineNews& News() const { return FNews; }
    // The system's code for the device's loss as the last look told it; 0 while it is there.
    uint32_t Lost() const { return FLost; }
    // Ends a wait under way, and a worker asleep until news; from any thread.
    void Interrupt() { FDevice->Interrupt(); }

private:
    std::unique_ptr<platform::SerialDevice> FDevice;
    platform::LineNews FNews;
    uint32_t FLost = 0;
};

} // namespace belvor
