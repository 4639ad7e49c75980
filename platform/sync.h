// Events, a re-entrant lock and a pause: the synchronisation the serial port,
// the logger and the driver need, the same on every platform.
#pragma once

#include "platform/no_copy.h"
#include "platform/result.h"

#include <cstdint>

namespace belvor::platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// A Win32-style event: auto-reset (one Set releases one waiter) or manual-reset.
class Event : NoCopy {
public:
    explicit Event(bool manualReset);
    ~Event();

    // Success, or the system's code for why the event could not be created,
    // kept from that moment (the others are then no-ops).
    Result<> Created() const;
    void Set();
    void Reset();
    // Whether it was signalled within timeoutMs (kInfinite: no limit): true,
    // or false once the time ran out, which is no failure. It fails when the
    // event could not be created (with that code) or the system could not
    // wait on it; a caller that waits only to pass the time may count that as
    // the time run out (ValueOr(false)).
    Result<bool> Wait(uint32_t timeoutMs);

private:
    struct Impl;
    Impl* FImpl = nullptr;
    uint32_t FError = 0; // why it could not be created
};

namespace detail {
// The refusal a test's seam asks for, 0 for none.
uint32_t EventCreateRefusal();
} // namespace detail

// A stop signal: once set it stays set until reset, and a wait for it that
// runs out costs one system wait and nothing else (Linux: a futex, which a
// condition variable's lock would add a wake to; Windows: a kernel event,
// where the C++ library's future adds a semaphore's server call under Wine).
// Set from one thread at a time; Reset only while none waits.
class StopSignal : NoCopy {
public:
    StopSignal();
    ~StopSignal();

    void Set();
    void Reset();
    // True when set, now or within timeoutMs.
    bool Wait(uint32_t timeoutMs);

private:
    struct Impl;
    Impl* FImpl;
};

// A lock that its holder may enter again (a critical section).
class RecursiveLock : NoCopy {
public:
    RecursiveLock();
    ~RecursiveLock();

    void Enter();
    void Leave();

private:
    struct Impl;
    Impl* FImpl;
};

class LockGuard : NoCopy {
public:
    explicit LockGuard(RecursiveLock& lock) : FLock(lock) { FLock.Enter(); }
    ~LockGuard() { FLock.Leave(); }

private:
    RecursiveLock& FLock;
};

void SleepMs(uint32_t ms);

} // namespace belvor::platform
