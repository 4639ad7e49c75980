// What the worker makes of an overlapped wait for line events that has not
// ended: a pure rule, fed the time and what the system shows of the wait, so
// that its cases are checked without a device.
//
// Two things can keep such a wait from ever being seen to end:
// - Wine's helper thread can finish the wait before the call that started it
//   returns; the call then writes "pending" over the result the helper wrote.
//   The event is set, the status says pending, and so it stays (Wine 8; see
//   docs/evidence/wine-wait-race). On Windows the status is written before the event
//   is set, so a set event over a pending status lasts no longer than two
//   reads apart.
// - A driver that holds a wait for ever. A quiet line's wait may rightly go on
//   for hours, so a wait is cancelled after a bound (a minute, as a quiet
//   worker's sleep) and started again; one that a cancel does not end either
//   is given up, and the line is looked at through its queue instead.
#pragma once

#include <cstdint>

namespace belvor::platform {

enum class WaitVerdict {
    Going,          // leave it
    LostCompletion, // take it as ended, with no events: nothing will write it again
    Cancel,         // it has gone on for the bound: cancel it and start another
    Wedged,         // a cancel has not ended it within the bound either
};

class WaitWatch {
public:
    // A set event over a pending status for this long is a lost completion.
    static constexpr int64_t kLostCompletionMs = 50;
    // How long a wait may go on before it is cancelled, and a cancel before
    // the wait is given up.
    static constexpr int64_t kWaitBoundMs = 60000;

    explicit WaitWatch(int64_t lostCompletionMs = kLostCompletionMs, int64_t waitBoundMs = kWaitBoundMs)
        : FLostCompletionMs(lostCompletionMs), FWaitBoundMs(waitBoundMs)
    {
    }

    int64_t BoundMs() const { return FWaitBoundMs; }
    void Started(int64_t nowMs);
    void Cancelled(int64_t nowMs) { FCancelledMs = nowMs; }
    // A look at a wait still pending: eventSet, whether its event is set.
    WaitVerdict Look(bool eventSet, int64_t nowMs);

private:
    int64_t FLostCompletionMs;
    int64_t FWaitBoundMs;
    int64_t FStartedMs = 0;
    int64_t FCancelledMs = -1;
    int64_t FSetSinceMs = -1;
};

} // namespace belvor::platform
