// A thread that starts at once, can be raised to time-critical priority and
// is stopped within a bound.
#pragma once

#include "platform/no_copy.h"
#include "platform/result.h"

#include <cstddef>
#include <cstdint>

namespace belvor::platform {

// Stack size for a thread that runs the host's own code (its callback): what an
// ordinary thread of the host would get, committed on demand. Win32: the
// executable's default; elsewhere the system's default, and at least 8 MiB.
inline constexpr size_t kHostThreadStack = 0;

class Thread : NoCopy {
public:
    using Proc = void (*)(void* arg);

    Thread() = default;
    ~Thread(); // a thread still running is waited for (see Stop)

    // Starts proc(arg) with the given stack size (or kHostThreadStack); fails
    // with the system's code when no thread could be made.
    Result<> Start(Proc proc, void* arg, size_t stackSize);
    bool Running() const { return FImpl != nullptr; }
    uint32_t Id() const;

    // Best effort: the highest priority the process may give a thread.
    void SetTimeCritical();

    // Waits up to timeoutMs for the thread to end and releases it. A thread that
    // has not ended by then is terminated where the system can do so safely
    // enough (Win32); elsewhere it is waited for without limit, since nothing it
    // touches may be freed under it. Returns true when it ended by itself in time.
    bool Stop(uint32_t timeoutMs);

    // Gives up on a thread that may run on for a while, without touching it:
    // this object lets go of it at once, and the thread releases itself when
    // its proc returns. The library stays loaded until then (Win32), or for the
    // process's life (elsewhere), so the thread never returns into unloaded
    // code. Only for a proc that touches nothing its starter may free.
    void Abandon();

    struct Impl;

private:
    // Makes the thread itself (the system's own file); Start has checked the rest.
    Result<> Launch(Proc proc, void* arg, size_t stackSize);

    Impl* FImpl = nullptr;
};

// Stops that did not see their thread end within the bound (Win32: the thread
// was terminated; elsewhere it was waited for), since the library was loaded.
// Tests read it to prove that a stop never had to wait out its bound.
uint32_t LateThreadStops();

namespace detail {
// A thread's fate, settled once between it and its owner.
inline constexpr int kThreadRunning = 0;
inline constexpr int kThreadFinished = 1;
inline constexpr int kThreadAbandoned = 2;
bool ThreadStartAllowed();
void CountLateThreadStop();
} // namespace detail

} // namespace belvor::platform
