// How the Windows serial device looks at its line and sleeps until news: one
// rule over the mode its wait for line events is in. Pure: fed what the
// system showed and the time, it says what the device is to do next, so that
// every case is checked without a device (the device only carries the
// actions out, platform/win32/serial_device.cpp).
//
// A look starts one overlapped WaitCommEvent and then only looks whether it
// has ended. Three things can keep such a wait from serving:
// - Wine's helper thread can finish the wait before the call that started it
//   returns; the call then writes "pending" over the result the helper wrote.
//   The event is set, the status says pending, and so it stays (Wine 8; see
//   docs/evidence/wine-wait-race). On Windows the status is written before the event
//   is set, so a set event over a pending status lasts no longer than two
//   reads apart.
// - A driver that holds a wait for ever. A quiet line's wait may rightly go on
//   for hours, so a wait is cancelled after a bound (a minute, as a quiet
//   worker's sleep) and started again; one that a cancel does not end either
//   is given up, and the line is looked at through its queue until it ends.
// - A driver that ends its waits by itself: Wine ends every wait on a pty
//   with ERROR_OPERATION_ABORTED within about 2 ms, through a thread it starts
//   for it. A wait started every other look would cost several times the
//   look and tell nothing the input queue does not: no more are started, the
//   looks go by the queue and a sleeping worker sleeps on a one-byte read.
#pragma once

#include <cstdint>

namespace belvor::platform {

enum class WaitState : uint8_t {
    Idle,      // no wait in flight: a look starts one
    Collected, // the latest look took a wait's end: the next starts another, so a sleep before it is none
    Waiting,   // a wait in flight
    Cancelled, // the wait in flight was cancelled at its bound: its end comes to a later look
    Wedged,    // a cancel has not ended it within the bound either: bytes are looked for in the queue
    ByQueue,   // the device ends its waits by itself: none is started, the looks go by the queue
};

// What the system showed, the latest call's outcome.
enum class Seen : uint8_t {
    Look,         // a look begins
    StartDone,    // WaitCommEvent ended at once, with its events
    StartPending, // it goes on in the background
    StartFailed,  // it did not start
    EndDone,      // the wait in flight has ended, with its events
    EndFailed,    // it has ended in an error
    EndPending,   // it goes on
    QueueNews,    // the input queue shows bytes or line errors
    QueueQuiet,   // it shows none
    QueueFailed,  // it could not be looked at
};

struct Observation {
    Seen What = Seen::Look;
    int64_t NowMs = 0;
    bool HeldByte = false; // Look: a byte the sleeping read brought waits, and bytes are watched
    bool EventSet = false; // EndPending: the wait's event is set all the same
    uint32_t Error = 0;    // the failed call's code
};

// What the device does next. The first three bring the next observation; the
// rest end the look: it tells news, nothing new, or its failure (the code).
enum class WaitAction : uint8_t {
    StartWait,   // WaitCommEvent, overlapped
    PollWait,    // takes the end of the wait in flight if it has one
    CheckQueue,  // ClearCommError: the queue's bytes and errors, as a wait's events
    Cancel,      // cancels the wait in flight; nothing new
    TakeAsEnded, // a lost completion: the wait is taken as ended with no events, its event reset; nothing new
    ReportEvents,  // the events the wait or the queue showed
    ReportBytes,   // bytes to be looked for: the held byte, or a wedged wait's queue
    ReportNothing, // nothing new
    ReportFailure, // the look failed, with the observation's code
};

// The bounds the mode is kept within.
struct WaitBounds {
    // A set event over a pending status for this long is a lost completion.
    int64_t LostCompletionMs = 50;
    // How long a wait may go on before it is cancelled, and a cancel before
    // the wait is given up.
    int64_t WaitBoundMs = 60000;
};

struct WaitMode {
    WaitState State = WaitState::Idle;
    int64_t SinceMs = 0;     // when the wait in flight started, or was cancelled
    int64_t SetSinceMs = -1; // since when its event has been set over a pending status; -1: it is not
    bool operator==(const WaitMode&) const = default;
};

struct WaitStep {
    WaitMode Mode;
    WaitAction Action;
    bool operator==(const WaitStep&) const = default;
};

// The rule: the mode after what was seen, and what to do next.
WaitStep NextWaitStep(const WaitMode& mode, const Observation& seen, const WaitBounds& bounds);

// How a worker that sleeps until news sleeps.
enum class SleepOn : uint8_t {
    Nothing, // the next look starts the wait to sleep on: return at once
    Pause,   // the polling pause: the wait cannot be slept on
    Wait,    // the wait's event and the wake event, up to the wait's bound
    Read,    // the one-byte read
};
// eventSet: the wait's event is set (a completion under way, or lost).
SleepOn SleepFor(WaitState state, bool eventSet);

} // namespace belvor::platform
