// What the port sets on a Windows serial line (the DCB, the event mask, the
// time-outs, the queue sizes), and what it last set: a sleeping read lifts
// the time-outs for a while and puts them back.
#pragma once

#include "platform/serial_device.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace belvor::platform {

// The events the worker waits for, and the optional ones some drivers refuse:
// a bit no name is given to, and the modem lines' changes (CTS, DSR, RLSD, RING).
inline constexpr uint32_t kFullEventMask = 0x000021FD;
inline constexpr uint32_t kVendorEventBit = 0x00002000;
inline constexpr uint32_t kModemEventBits = 0x00000138;

// The DCB's flag word as the port leaves it: RTS control off, bits 16-31 cleared.
inline constexpr uint32_t kControlFlagsKept = 0x0000CFFF;

// The line's settings as dcb holds them; one and a half stop bits are no
// value of the config's.
LineConfig ConfigOf(const DCB& dcb);
// Sets the fields config gives and applies the port's flag policy (parity asked
// for turns parity checking on); keeps the other members as they were.
void MergeLineConfig(DCB& dcb, const LineConfig& config);

// The event mask without the watches refused.
uint32_t EventMask(const RefusedWatches& refused);
// What a driver refused when a wait on EventMask(refused) failed with error:
// drivers refuse part of the mask with "invalid parameter" (the unnamed bit)
// or "not supported" (the modem lines). refused itself when the failure is
// no such refusal.
RefusedWatches RefusalAfter(const RefusedWatches& refused, uint32_t error);

// Each call is the kernel32 call on the line, failing with the system's error.
class LineSettings {
public:
    // Binds to file and reads its DCB, which Configure merges onto.
    void Bind(HANDLE file);

    Result<> SetQueueSizes(uint32_t inQueue, uint32_t outQueue);
    Result<LineConfig> Read();
    Result<> Configure(const LineConfig& config);
    // The worker's mask without the refused watches, and reads that return at
    // once with what has arrived.
    void Arm(const RefusedWatches& refused);
    // A wait failed with error: drops once what the driver refused of the mask.
    void Narrow(uint32_t error);
    RefusedWatches Refused() const;
    // Ends a wait in flight: with no events asked, it ends with an empty mask.
    void AskNoEvents();

    uint32_t Mask() const { return FMask.load(); }
    // A read that blocks until one byte has come: no time-outs at all.
    bool BlockReads();
    // Back to the time-outs the port set.
    void RestoreTimeouts();

private:
    bool SetMask(uint32_t mask);

    HANDLE FFile = INVALID_HANDLE_VALUE;
    mutable std::mutex FLock; // Configure merges onto the DCB last read; Narrow the refusals
    DCB FDcb{};
    RefusedWatches FRefused;
    std::atomic<uint32_t> FMask{0};
    COMMTIMEOUTS FTimeouts{}; // what a sleeping read puts back
};

} // namespace belvor::platform
