// A thread that starts at once, can be raised to time-critical priority and
// is stopped within a bound.
#pragma once

#include <cstddef>
#include <cstdint>

namespace belvor::platform {

class Thread {
public:
    using Proc = void (*)(void* arg);

    Thread() = default;
    ~Thread(); // a thread still running is waited for (see Stop)
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts proc(arg) with the given stack size. False when no thread could be made.
    bool Start(Proc proc, void* arg, size_t stackSize);
    bool Running() const { return FImpl != nullptr; }
    uint32_t Id() const;

    // Best effort: the highest priority the process may give a thread.
    void SetTimeCritical();

    // Waits up to timeoutMs for the thread to end and releases it. A thread that
    // has not ended by then is terminated where the system can do so safely
    // enough (Win32); elsewhere it is waited for without limit, since nothing it
    // touches may be freed under it. Returns true when it ended by itself in time.
    bool Stop(uint32_t timeoutMs);

    struct Impl;

private:
    Impl* FImpl = nullptr;
};

} // namespace belvor::platform
