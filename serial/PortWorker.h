// The port's worker thread: started and acknowledged with the port's open,
// stopped within a bound at its close, and in between one cycle after
// another: a look at the line, the owner's dispatch of what it found, the
// handling of a lost line, and a pause. What an owner's DataReceived left
// unread when it threw is announced again with the next bytes.
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

class PortWorker {
public:
    // What the worker drives: the port, which holds the line and the ring.
    // An object of its own, made before the worker starts: the worker never
    // calls into an owner whose construction is still under way.
    class Owner {
    public:
        // While the line is lost: waits (bounded) for it to be back, and
        // arms it without the watches the lost one's system refused.
        virtual void AwaitLine(const platform::RefusedWatches& refused) = 0;
        // The line is gone: the owner is told, and a new one will be opened.
        virtual void DropLine(uint32_t error) = 0;
        // The line is gone and stays so: the owner is told, nothing is reopened.
        virtual void KeepLost(uint32_t error) = 0;
        // The worker has woken from a sleep until news: whoever watches it
        // may want to look again soon.
        virtual void ReaderWoke() {}
        // Reads and announces what the last look found; may throw what
        // DataReceived throws.
        virtual void DispatchEvents() = 0;
        // Whether the next cycle has work of its own, news or not.
        virtual bool CycleOwed() = 0;
        virtual void DataReceived(int32_t count) = 0;
        // How many bytes the ring holds unread.
        virtual uint32_t Unread() = 0;

    protected:
        ~Owner() = default;
    };

    // The thread's stack, and how long a start waits for its acknowledgement
    // and a stop for its end.
    static constexpr size_t kStackSize = 16384;
    static constexpr uint32_t kStartAckTimeoutMs = 3000;
    static constexpr uint32_t kStopTimeoutMs = 200;

    // line: the owner's line, null while it is lost; it changes only on the
    // worker while the worker runs.
    PortWorker(Owner& owner, const std::unique_ptr<LineSession>& line) : FOwner(owner), FLine(line) {}
    PortWorker(const PortWorker&) = delete;
    PortWorker& operator=(const PortWorker&) = delete;

    // For a port being opened: no stop asked, nothing to announce again.
    void Reset();
    // For a line lost: what is left unread goes with it.
    void DropCarried() { FReannounce = false; }
    // Starts the thread and waits for its acknowledgement; fails with the
    // system's code when no thread could be made.
    platform::Result<> Start();
    // Asks the worker to stop and cuts its pause short; the line's own waits
    // are the owner's to end.
    void RequestStop();
    // Waits (bounded) for the thread to end.
    void Stop();
    bool StopRequested() const { return FStopRequested.load(std::memory_order_relaxed); }

    // Nothing is handed to DataReceived until the owner is fully built.
    void EnableDataReceived() { FDataReceivedEnabled = true; }
    void SetReconnect(bool on) { FReconnect = on; }
    bool Reconnect() const { return FReconnect; }
    CyclePause& Pause() { return FPause; }
    const CyclePause& Pause() const { return FPause; }

    // Hands count new bytes to the owner's DataReceived, after those a
    // throwing one left. Carried takes (once) how many those were.
    void Announce(uint32_t count);
    uint32_t Carried(uint32_t unread) { return FReannounce.exchange(false) ? unread : 0; }
    bool ReannounceOwed() const { return FReannounce; }

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
    // One cycle; false when the worker is to end.
    bool Cycle();

    Owner& FOwner;
    const std::unique_ptr<LineSession>& FLine;
    platform::Thread FThread;
    platform::Event FAck{false};
    CyclePause FPause;
    std::atomic<bool> FStopRequested{false};
    std::atomic<bool> FDataReceivedEnabled{false};
    std::atomic<bool> FReconnect{true};
    std::atomic<bool> FReannounce{false};
    RoundWatch FWatch;
    // What a lost line's system refused stays unasked.
    platform::RefusedWatches FRefused;
};

} // namespace belvor
