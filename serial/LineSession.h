// One open device as the port uses it: the device, the line settings merged
// into its control block, the events its worker waits for and what the last
// look at it found. A lost device is never used again: the port drops its
// session and a reopener opens a new one.
#pragma once

#include "platform/serial_device.h"

#include <cstdint>
#include <memory>
#include <string>

namespace belvor {

// Keep values: a setting with this value leaves the device's own alone.
inline constexpr uint32_t kKeepBaudRate = 0;
inline constexpr uint16_t kKeepParity = 5;
inline constexpr uint8_t kKeepDataBits = 9;
inline constexpr uint8_t kKeepStopBits = 3;

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
    uint32_t BaudRate = 0;
    uint16_t Parity = 0;
    uint8_t DataBits = 0;
    uint8_t StopBits = 0;
};

// Reads the device's control block into block, merges the values given (the
// keep values leave the device's own), and sets it. False when the device refuses.
bool MergeLineSettings(platform::SerialDevice& device, platform::ControlBlock& block, uint32_t baudRate,
                       uint16_t parity, uint8_t dataBits, uint8_t stopBits);

class LineSession {
public:
    static constexpr uint32_t kFullEventMask = 0x000021FD;
    static constexpr uint32_t kUnnamedEventBit = 0x00002000;
    static constexpr uint32_t kModemEventBits = 0x00000138; // CTS, DSR, RLSD, RING

    explicit LineSession(std::unique_ptr<platform::SerialDevice> device) : FDevice(std::move(device)) {}

    // Opens the line again as it was: null while it is not back (not there,
    // held by another program, or not the line it was).
    static std::unique_ptr<LineSession> Reopen(const LineParams& line);

    platform::SerialDevice& Device() const { return *FDevice; }

    // Takes the device's own settings as the base of the merges.
    void ReadSettings() { (void)FDevice->GetState(FBlock); }
    // Merges the values given into the device's settings; false when refused.
    bool Merge(uint32_t baudRate, uint16_t parity, uint8_t dataBits, uint8_t stopBits)
    {
        return MergeLineSettings(*FDevice, FBlock, baudRate, parity, dataBits, stopBits);
    }
    // Clears the device's line errors; returns how many bytes it holds.
    uint32_t RefreshStatus();

    // Before the worker's first look: the events it waits for (a line opened
    // again keeps what the lost one dropped of them), and reads that return
    // at once with what has arrived.
    void Arm(uint32_t mask);
    uint32_t Mask() const { return FMask; }
    // One look at the line. A wait still going on leaves what the last look
    // found in Events(): it reports its own when it completes.
    void Look();
    uint32_t Events() const { return FEvents; }
    // Ends a wait under way, and a worker asleep until news; from any thread.
    void Interrupt();

private:
    std::unique_ptr<platform::SerialDevice> FDevice;
    platform::ControlBlock FBlock;
    uint32_t FMask = kFullEventMask;
    uint32_t FEvents = 0;
};

} // namespace belvor
