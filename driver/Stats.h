// What a driver has done, for GetDriverStats: counters that the worker and the
// delivery thread each bump on their own, and that any thread may read at any
// time without a lock either of them waits on.
#pragma once

#include "belvor.h"

#include <atomic>
#include <cstdint>

namespace belvor {

// One counter with one writer: a plain load and store, no locked add.
class TCounter {
public:
    void Add(uint64_t n = 1) noexcept
    {
        FValue.store(FValue.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    uint64_t Get() const noexcept { return FValue.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> FValue{0};
};

struct TDriverStats {
    // The worker's.
    TCounter BytesReceived;
    TCounter BytesRefused;
    TCounter CodesCut; // longer than MaxLength, as received
    TCounter Overruns;
    TCounter ParityErrors;
    TCounter FramingErrors;
    TCounter Breaks;
    TCounter Losses;
    TCounter Returns;
    std::atomic<uint32_t> State{BELVOR_PORT_OPEN};
    std::atomic<uint32_t> LastError{0};
    std::atomic<int64_t> LastCodeMs{-1}; // on platform::SteadyMilliseconds' clock
    // The delivery thread's.
    TCounter CodesDelivered;
    TCounter CodesUndelivered;
    TCounter CodesCounted;      // cut to a counted string's 255 characters for an EventProc
    TCounter CodesUnidentified; // SymbologyId=Aim, and no valid identifier came first
    TCounter ReaderStalls;
    std::atomic<bool> ReaderStalled{false};

    // Notes a code just read.
    void CodeRead() noexcept;
};

// The smallest size a caller may give: the first version's struct.
inline constexpr uint32_t kFirstStatsSize = 128;

} // namespace belvor
