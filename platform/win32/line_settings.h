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

// The members of dcb that the port reads.
ControlBlock ControlBlockOf(const DCB& dcb);
// Sets the members of dcb that block lists; keeps the others as they were.
void MergeControlBlock(DCB& dcb, const ControlBlock& block);
COMMTIMEOUTS NativeTimeouts(const CommTimeouts& timeouts);

// Each call is the kernel32 call of the same name on the line; false with the
// system's error when it fails.
class LineSettings {
public:
    // Binds to file and reads its DCB, which SetState merges onto.
    void Bind(HANDLE file);

    bool Setup(uint32_t inQueue, uint32_t outQueue, uint32_t& error);
    bool GetState(ControlBlock& block, uint32_t& error);
    bool SetState(const ControlBlock& block, uint32_t& error);
    bool SetMask(uint32_t mask, uint32_t& error);
    bool SetTimeouts(const CommTimeouts& timeouts, uint32_t& error);

    uint32_t Mask() const { return FMask.load(); }
    // A read that blocks until one byte has come: no time-outs at all.
    bool BlockReads();
    // Back to the time-outs the port set.
    void RestoreTimeouts();

private:
    HANDLE FFile = INVALID_HANDLE_VALUE;
    std::mutex FDcbLock; // SetState merges onto the DCB last read
    DCB FDcb{};
    std::atomic<uint32_t> FMask{0};
    COMMTIMEOUTS FTimeouts{}; // what a sleeping read puts back
};

} // namespace belvor::platform
