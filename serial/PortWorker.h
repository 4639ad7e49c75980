// The port's worker thread: started and acknowledged with the port's open,
// stopped within a bound at its close, and in between one round after
// another: the port's step, then what that step says comes next (at once
// again, the polling pause, the pause the port is set for, parked until the
// stop, or the end). The round itself is the port's: the worker only runs it,
// pauses between rounds and stamps them for a watcher.
#pragma once

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "serial/CyclePause.h"
#include "serial/LineSession.h"
#include "serial/RoundWatch.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace belvor {

// What the worker does once a round is done.
enum class NextStep {
    Again, // the next round at once: this one waited itself (for a lost line's return)
    Poll,  // the polling pause: the next round has work of its own
    Pause, // the pause the worker is set for: polling, or asleep until news
    Park,  // until the stop: the line is gone for good
    End,   // a stop was asked
};

// A live line's round, once it has looked and handed the news on: what comes
// next from the loss the look told (0: none), whether a lost line is to be
// reopened, and whether the next round has work of its own.
NextStep NextAfterLook(uint32_t lost, bool reconnect, bool owed);

class PortWorker {
public:
    // The port's step, which the worker runs once per round.
    class Round {
    public:
        // May wait (bounded); never throws. A look that returns is a round's
        // progress: the step stamps it on watch as soon as it has looked.
        virtual NextStep Run(RoundWatch& watch) = 0;

    protected:
        ~Round() = default;
    };

    // The thread's stack, and how long a start waits for its acknowledgement
    // and a stop for its end.
    static constexpr size_t kStackSize = 16384;
    static constexpr uint32_t kStartAckTimeoutMs = 3000;
    static constexpr uint32_t kStopTimeoutMs = 200;

    // line: the port's line, armed before the start is acknowledged and slept
    // on until news; it changes only in the rounds while the worker runs.
    PortWorker(Round& round, const std::unique_ptr<LineSession>& line) : FRound(round), FLine(line) {}
    PortWorker(const PortWorker&) = delete;
    PortWorker& operator=(const PortWorker&) = delete;

    // Starts the thread and waits for its acknowledgement; fails with the
    // system's code when no thread could be made.
    platform::Result<> Start();
    // Asks the worker to stop and cuts its pause short; the line's own waits
    // are the port's to end.
    void RequestStop();
    // Waits (bounded) for the thread to end.
    void Stop();
    bool StopRequested() const { return FStopRequested.load(std::memory_order_relaxed); }

    CyclePause& Pause() { return FPause; }
    const CyclePause& Pause() const { return FPause; }
    // What the worker sets when it wakes from a sleep until news, so that a
    // watcher of its rounds looks again; none: nothing is set.
    void SetWakeSignal(platform::Event* signal) { FWakeSignal.store(signal); }

    // What a watcher sees of the worker (RoundWatch.h), now: how far past what
    // its round may take (a sleep until news may take its whole bound), and
    // since when it last finished a round (since its start, before the first);
    // not watched while it is not running or is parked on a line gone for good.
    // From any thread, on the clock that stops while the system sleeps, as the
    // worker's bounded waits do: a resume is no stall.
    using Sight = RoundWatch::Sight;
    static constexpr int64_t kNotWatched = RoundWatch::kNotWatched;
    Sight Look() const { return FWatch.Look(platform::AwakeMilliseconds()); }
    int64_t QuietMs() const { return FWatch.QuietMs(platform::AwakeMilliseconds()); }

private:
    static void Proc(void* worker);
    // One round and what follows it; false when the worker is to end.
    bool Cycle();

    Round& FRound;
    const std::unique_ptr<LineSession>& FLine;
    platform::Thread FThread;
    platform::Event FAck{false};
    CyclePause FPause;
    std::atomic<bool> FStopRequested{false};
    std::atomic<platform::Event*> FWakeSignal{nullptr};
    RoundWatch FWatch;
};

} // namespace belvor
