#include "driver/Stats.h"

#include <chrono>
#include <cstddef>

namespace belvor {

// Hosts in C#, Pascal and Python declare the struct by hand: its offsets must
// be the same on every build.
static_assert(offsetof(BelvorStats, codes_delivered) == 16);
static_assert(offsetof(BelvorStats, queue_length) == 112);
static_assert(offsetof(BelvorStats, ms_since_code) == 120);
static_assert(offsetof(BelvorStats, reader_stalls) == 128);
static_assert(offsetof(BelvorStats, ms_since_round) == 140);
static_assert(sizeof(BelvorStats) == 144);

int64_t SteadyMs() noexcept
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void TDriverStats::CodeRead() noexcept
{
    LastCodeMs.store(SteadyMs(), std::memory_order_relaxed);
}

} // namespace belvor
