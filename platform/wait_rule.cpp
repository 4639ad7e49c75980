#include "platform/wait_rule.h"

#include "platform/win32/loss_codes.h"

namespace belvor::platform {

namespace {

// A wait still pending, by its event and the time.
WaitStep GoesOn(WaitMode mode, const Observation& seen, const WaitBounds& bounds)
{
    if (seen.EventSet) {
        if (mode.SetSinceMs < 0)
            mode.SetSinceMs = seen.NowMs;
        else if (seen.NowMs - mode.SetSinceMs >= bounds.LostCompletionMs)
            // Nothing will write its record again. A device that loses them
            // ends its waits by itself: it is looked at through its queue.
            return {{WaitState::ByQueue}, WaitAction::TakeAsEnded};
        return {mode, WaitAction::ReportNothing};
    }
    mode.SetSinceMs = -1;
    const bool bounded = seen.NowMs - mode.SinceMs >= bounds.WaitBoundMs;
    switch (mode.State) {
    case WaitState::Waiting:
        if (bounded)
            return {{WaitState::Cancelled, seen.NowMs}, WaitAction::Cancel};
        break;
    case WaitState::Cancelled:
        if (bounded)
            return {{WaitState::Wedged, mode.SinceMs}, WaitAction::ReportBytes};
        break;
    case WaitState::Wedged: // until it ends, bytes are looked for in the queue, as its news would have it
        return {mode, WaitAction::ReportBytes};
    default:
        break;
    }
    return {mode, WaitAction::ReportNothing};
}

} // namespace

WaitStep NextWaitStep(const WaitMode& mode, const Observation& seen, const WaitBounds& bounds)
{
    const WaitMode idle{WaitState::Idle};
    switch (seen.What) {
    case Seen::Look:
        // The byte a sleeping read brought is a received character of its own.
        if (seen.HeldByte)
            return {mode.State == WaitState::Collected ? idle : mode, WaitAction::ReportBytes};
        switch (mode.State) {
        case WaitState::Idle:
        case WaitState::Collected:
            return {{WaitState::Waiting, seen.NowMs}, WaitAction::StartWait};
        case WaitState::ByQueue:
            return {mode, WaitAction::CheckQueue};
        default: // never a second wait while one is in flight: look at it
            return {mode, WaitAction::PollWait};
        }
    case Seen::StartDone:
        return {idle, WaitAction::ReportEvents};
    case Seen::StartPending:
        return {mode, WaitAction::ReportNothing};
    case Seen::StartFailed:
        return {idle, WaitAction::ReportFailure};
    case Seen::EndDone:
        return {{WaitState::Collected}, WaitAction::ReportEvents};
    case Seen::EndFailed: {
        // One that this side cancelled for its bound says nothing of the
        // device's waits; one that ended by itself says it ends them so.
        const bool cancelledHere = mode.State == WaitState::Cancelled || mode.State == WaitState::Wedged;
        const WaitMode next = cancelledHere ? idle : WaitMode{WaitState::ByQueue};
        // An abort is how such a wait ends (Wine's quiet ones, or this side's cancel): nothing new.
        return {next,
                seen.Error == kErrorOperationAborted ? WaitAction::ReportNothing : WaitAction::ReportFailure};
    }
    case Seen::EndPending:
        return GoesOn(mode, seen, bounds);
    case Seen::QueueNews:
        return {mode, WaitAction::ReportEvents};
    case Seen::QueueQuiet:
        return {mode, WaitAction::ReportNothing};
    case Seen::QueueFailed:
        return {mode, WaitAction::ReportFailure};
    }
    return {mode, WaitAction::ReportNothing};
}

SleepOn SleepFor(WaitState state, bool eventSet)
{
    switch (state) {
    case WaitState::Collected:
        return SleepOn::Nothing;
    case WaitState::Wedged:
        return SleepOn::Pause;
    case WaitState::Waiting:
    case WaitState::Cancelled:
        // A set event over a pending status cannot be slept on.
        return eventSet ? SleepOn::Pause : SleepOn::Wait;
    case WaitState::Idle:    // it ended at once, or could not start
    case WaitState::ByQueue: // Wine's end every 2 ms
        break;
    }
    return SleepOn::Read;
}

} // namespace belvor::platform
