#include "driver/Stats.h"

#include "platform/clock.h"

#include <cstddef>

namespace belvor {

// Hosts in C#, Pascal and Python declare the struct by hand: its offsets must
// be the same on every build.
static_assert(offsetof(BelvorStats, codes_delivered) == 16);
static_assert(offsetof(BelvorStats, queue_length) == 112);
static_assert(offsetof(BelvorStats, ms_since_code) == 120);
static_assert(offsetof(BelvorStats, reader_stalls) == 128);
static_assert(offsetof(BelvorStats, ms_since_round) == 140);
static_assert(offsetof(BelvorStats, codes_unidentified) == 144);
static_assert(sizeof(BelvorStats) == 152);

void TDriverStats::CodeRead() noexcept
{
    LastCodeMs.store(platform::SteadyMilliseconds(), std::memory_order_relaxed);
}

} // namespace belvor
