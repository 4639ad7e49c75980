// The delivery thread: TBelvorThread takes what its driver queued, writes the
// log's records and hands codes to the host's callback.
#pragma once

#include "platform/sync.h"
#include "platform/thread.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace belvor {

class TBelvor;
struct TCallbacks;
struct TQueuedItem;
struct TScanReading;

class TBelvorThread {
public:
    // Its wake-up event exists before it runs, so no wake (a first code, or
    // the stop itself) can come too early. Once started, it looks at its stop
    // flag every recheckMs even without a wake.
    TBelvorThread(int32_t index, uint32_t recheckMs);
    // Fails with the system's code when the thread or its event could not be made.
    platform::Result<> Start();
    ~TBelvorThread();
    TBelvorThread(const TBelvorThread&) = delete;
    TBelvorThread& operator=(const TBelvorThread&) = delete;

    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }
    // Has it look at its driver's queue (or its stop flag) now: Wake, or set
    // its WakeEvent, as its driver does.
    void Wake() { FEvent.Set(); }
    platform::Event& WakeEvent() { return FEvent; }
    void WaitFor();
    // Passes run so far (codes delivered or dropped), for tests to wait on.
    uint64_t Passes() const { return FPasses.load(); }
    int32_t Index() const { return FIndex; }

private:
    static void Run(void* self);
    void Execute();
    void Pass(const TBelvor& driver, const TQueuedItem& item);
    void Report(const TBelvor& driver, const TQueuedItem& item);
    // Tells of a worker that has got stuck, or runs again; returns when to
    // look again at the latest, in milliseconds.
    int64_t WatchReader(const TBelvor& driver);
    // reading: the code's, for a scan callback (null: as received, typed unknown).
    void Deliver(const TCallbacks& to, std::string_view code, const TScanReading* reading);
    // Tells the host's StatusProc, when one is set.
    void Tell(const TCallbacks& to, int32_t status, uint32_t detail);
    // Runs a call of the host's code: marked as inside a callback, whatever it
    // throws caught and logged.
    template <class F> void CallHost(F&& call) noexcept;

    platform::Event FEvent{false};
    const int32_t FIndex;
    uint64_t FCallGeneration = 0; // the callbacks' generation a pass is using (BeginCall), 0 between passes
    const uint32_t FRecheckMs;
    // How far past its round the worker counts as stuck: taken once, as the re-check is.
    const int64_t FStallMs;
    std::atomic<bool> FTerminated{false};
    std::atomic<uint64_t> FPasses{0};
    platform::Thread FThread;
};

// The re-check for the delivery thread of a driver that wakes on events or
// polls: a stop always sets the thread's event, so one that sleeps until news
// may re-check as rarely as its port's worker does.
uint32_t DeliveryRecheckBound(bool wakeOnEvent);

} // namespace belvor
