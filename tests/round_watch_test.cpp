// What a watcher sees of the worker's round while the worker moves on between
// the watcher's loads: each load of a look can let the worker's stores in right
// after it, so every interleaving of one look with one step of the worker is
// tried, deterministically.
#include "serial/RoundWatch.h"

#include <functional>
#include <gtest/gtest.h>
#include <utility>

using namespace belvor;

namespace {

// The worker's step, run once right after the given load of the watcher's look.
struct Interleave {
    int LoadsLeft = 0;
    std::function<void()> Step;
};
Interleave gInterleave;

// An atomic cell whose loads let that step in.
class HookedCell {
public:
    explicit HookedCell(int64_t value) : FValue(value) {}
    int64_t load() const
    {
        const int64_t value = FValue.load();
        if (gInterleave.Step && --gInterleave.LoadsLeft == 0)
            std::exchange(gInterleave.Step, nullptr)();
        return value;
    }
    void store(int64_t value) { FValue.store(value); }

private:
    std::atomic<int64_t> FValue;
};

using Watch = BasicRoundWatch<HookedCell>;
using Steps = std::function<void(Watch&)>;

constexpr int64_t kStallBoundMs = 5000;
constexpr int64_t kSleepBoundMs = 60000;

// The look at nowMs with the worker's step let in after load k (none for 0).
Watch::Sight LookWith(const Steps& before, const Steps& step, int64_t nowMs, int k)
{
    Watch watch;
    before(watch);
    if (k > 0)
        gInterleave = {k, [&] { step(watch); }};
    const Watch::Sight sight = watch.Look(nowMs);
    gInterleave = {};
    return sight;
}

struct Case {
    const char* Name;
    Steps Before; // the worker's state as the look begins
    Steps Step;   // what it does meanwhile
    int64_t NowMs;
    bool StalledBefore; // what a look before the step shows
};

// Every load a look might make, and one past them.
constexpr int kLoads = 3;

void CheckEveryInterleaving(const Case& c)
{
    SCOPED_TRACE(c.Name);
    const Watch::Sight before = LookWith(c.Before, c.Step, c.NowMs, 0);
    ASSERT_EQ(before.OverdueMs >= kStallBoundMs, c.StalledBefore);
    const Watch::Sight after = LookWith([&](Watch& w) { c.Before(w), c.Step(w); }, c.Step, c.NowMs, 0);
    for (int k = 1; k <= kLoads; ++k) {
        SCOPED_TRACE("the step after load " + std::to_string(k));
        const Watch::Sight seen = LookWith(c.Before, c.Step, c.NowMs, k);
        if (seen.OverdueMs < kStallBoundMs)
            continue;
        // A stall is seen only as one of the two states shows it, with that state's time since its round.
        const bool asBefore = before.OverdueMs >= kStallBoundMs && seen.QuietMs == before.QuietMs;
        const bool asAfter = after.OverdueMs >= kStallBoundMs && seen.QuietMs == after.QuietMs;
        EXPECT_TRUE(asBefore || asAfter)
            << "seen " << seen.OverdueMs << " ms overdue, " << seen.QuietMs << " ms since the round";
        EXPECT_GT(seen.QuietMs, 0) << "a stall is never told with detail 0";
    }
}

const Steps kAsleep = [](Watch& w) { w.Progress(0), w.Allow(kSleepBoundMs); };
const Steps kLooking = [](Watch& w) { w.Progress(0); };

} // namespace

// A worker that wakes from its sleep until news at the bound, or early and
// sleeps again, is within its time whatever the watcher's loads saw of it.
TEST(RoundWatch, AWorkerWakingBetweenTheWatchersLoadsIsNeverSeenStalled)
{
    const Case cases[] = {
        {"a sleep that ends at its bound", kAsleep, [](Watch& w) { w.Progress(kSleepBoundMs + 1); },
         kSleepBoundMs + 1, false},
        {"a sleep that ends early and starts again", kAsleep,
         [](Watch& w) { w.Progress(30000), w.Allow(kSleepBoundMs); }, 30000, false},
    };
    for (const Case& c : cases)
        CheckEveryInterleaving(c);
}

// A stuck worker that returns or ends while it is looked at: told stalled, if
// at all, with the milliseconds since its stuck round, never with 0 (which
// means "running again").
TEST(RoundWatch, AStallIsToldOnlyWithTheTimeSinceTheStuckRound)
{
    const Case cases[] = {
        {"a look stuck past the bound that returns", kLooking, [](Watch& w) { w.Progress(6000); }, 6000,
         true},
        {"a worker stuck past the bound that ends", kLooking, [](Watch& w) { w.Stop(); }, 6000, true},
        {"a sleep past its bound that ends", kAsleep, [](Watch& w) { w.Progress(66000); }, 66000, true},
        {"a worker asleep past its bound, nothing moving", kAsleep, [](Watch&) {}, 66000, true},
    };
    for (const Case& c : cases)
        CheckEveryInterleaving(c);
}
