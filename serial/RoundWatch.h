// When the port's worker last finished a round and by when the round under way
// is due, for a watcher on another thread. The worker stores, the watcher
// loads, neither waits for the other: each value is one atomic, the due time
// written at once (not as a stamp and an allowance the watcher would read
// apart, which paired an old stamp with a new allowance into a stall of a
// minute), and a look that finds the worker moved on since it read the due
// time takes the newer round. Cell is std::atomic<int64_t>; tests give one
// whose loads let the worker in between.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

namespace belvor {

template <class Cell> class BasicRoundWatch {
public:
    // How far past due a worker is that is not running or is parked.
    static constexpr int64_t kNotWatched = -(int64_t{1} << 62);

    struct Sight {
        int64_t OverdueMs; // negative while within its time; kNotWatched
        int64_t QuietMs;   // since its last round; 0 with kNotWatched
    };

    // The worker's side, from its one thread. A round's progress: due at once
    // again.
    void Progress(int64_t nowMs)
    {
        FRoundMs.store(nowMs);
        FDueMs.store(nowMs);
    }
    // The wait under way may rightly take ms from the last progress.
    void Allow(int64_t ms) { FDueMs.store(FRoundMs.load() + ms); }
    // Not running, or parked on purpose.
    void Stop()
    {
        FDueMs.store(-1);
        FRoundMs.store(-1);
    }

    // From any thread. Overdue and quiet from one state of the worker's, or
    // (when it moved on between the loads) from the newer round: a worker seen
    // stalled is quiet at least as long as it is overdue.
    Sight Look(int64_t nowMs) const
    {
        const int64_t due = FDueMs.load();
        if (due < 0)
            return {kNotWatched, 0};
        const int64_t round = FRoundMs.load();
        if (round < 0)
            return {kNotWatched, 0};
        return {nowMs - std::max(due, round), nowMs - round};
    }
    int64_t QuietMs(int64_t nowMs) const
    {
        const int64_t round = FRoundMs.load();
        return round < 0 ? 0 : nowMs - round;
    }

private:
    Cell FRoundMs{-1};
    Cell FDueMs{-1};
};

using RoundWatch = BasicRoundWatch<std::atomic<int64_t>>;

} // namespace belvor
