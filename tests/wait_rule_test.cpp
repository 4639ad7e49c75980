// The Windows device's wait rule: one row per state and observation.
#include "platform/wait_rule.h"

#include <gtest/gtest.h>

using namespace belvor::platform;

namespace {

constexpr WaitBounds kBounds; // the device's own
constexpr int64_t kLost = kBounds.LostCompletionMs;
constexpr int64_t kBound = kBounds.WaitBoundMs;
constexpr uint32_t kAborted = 995;

Observation At(Seen what, int64_t nowMs = 0, bool eventSet = false)
{
    return {.What = what, .NowMs = nowMs, .EventSet = eventSet};
}
Observation Pending(int64_t nowMs, bool eventSet = false)
{
    return At(Seen::EndPending, nowMs, eventSet);
}
Observation Failed(Seen what, uint32_t error)
{
    return {.What = what, .Error = error};
}
Observation HeldByte()
{
    return {.What = Seen::Look, .NowMs = 7, .HeldByte = true};
}

TEST(WaitRule, EachStateAndObservationGivesItsNextModeAndAction)
{
    using S = WaitState;
    using A = WaitAction;
    const WaitMode idle{S::Idle}, collected{S::Collected}, byQueue{S::ByQueue};
    const WaitMode waiting{S::Waiting, 1000}, cancelled{S::Cancelled, 1000}, wedged{S::Wedged, 1000};
    const WaitMode setAt1010{S::Waiting, 1000, 1010};
    const Observation look = At(Seen::Look, 7), abortEnd = Failed(Seen::EndFailed, kAborted);
    const auto Set = [](int64_t nowMs) { return Pending(nowMs, true); };
    const struct {
        const char* Name;
        WaitMode Before;
        Observation Seen;
        WaitStep After;
    } cases[] = {
        {"no wait: one starts", idle, look, {{S::Waiting, 7}, A::StartWait}},
        {"one just taken: another", collected, look, {{S::Waiting, 7}, A::StartWait}},
        {"a new wait forgets the old one's times", {S::Idle, 5, 3}, look, {{S::Waiting, 7}, A::StartWait}},
        {"one in flight is looked at", waiting, look, {waiting, A::PollWait}},
        {"so is a cancelled one", cancelled, look, {cancelled, A::PollWait}},
        {"and a wedged one", wedged, look, {wedged, A::PollWait}},
        {"waits that end alone: the queue", byQueue, look, {byQueue, A::CheckQueue}},
        {"a held byte comes before a wait", waiting, HeldByte(), {waiting, A::ReportBytes}},
        {"and ends what was collected", collected, HeldByte(), {idle, A::ReportBytes}},
        {"and before the queue", byQueue, HeldByte(), {byQueue, A::ReportBytes}},
        // A wait's start.
        {"done at once: no wait to sleep on", waiting, At(Seen::StartDone), {idle, A::ReportEvents}},
        {"pending: nothing yet", waiting, At(Seen::StartPending), {waiting, A::ReportNothing}},
        {"refused: the look failed", waiting, Failed(Seen::StartFailed, 87), {idle, A::ReportFailure}},
        {"an abort too (CDC, pulled)",
         waiting,
         Failed(Seen::StartFailed, kAborted),
         {idle, A::ReportFailure}},
        // A wait's end.
        {"ended: the next look starts one", waiting, At(Seen::EndDone), {collected, A::ReportEvents}},
        {"a cancelled one ended all the same", cancelled, At(Seen::EndDone), {collected, A::ReportEvents}},
        {"a wedged one ended at last", wedged, At(Seen::EndDone), {collected, A::ReportEvents}},
        {"Wine's quiet end: no more waits", waiting, abortEnd, {byQueue, A::ReportNothing}},
        {"ended alone in an error", waiting, Failed(Seen::EndFailed, 21), {byQueue, A::ReportFailure}},
        {"the cancel ended it: waits go on", cancelled, abortEnd, {idle, A::ReportNothing}},
        {"the cancel ended a wedged one", wedged, abortEnd, {idle, A::ReportNothing}},
        // A wait that goes on.
        {"within its bound", waiting, Pending(999 + kBound), {waiting, A::ReportNothing}},
        {"at it: cancelled", waiting, Pending(1000 + kBound), {{S::Cancelled, 1000 + kBound}, A::Cancel}},
        {"a cancel within it", cancelled, Pending(999 + kBound), {cancelled, A::ReportNothing}},
        {"a cancel past it: wedged", cancelled, Pending(1000 + kBound), {wedged, A::ReportBytes}},
        {"wedged: bytes at every look", wedged, Pending(3000 + kBound), {wedged, A::ReportBytes}},
        // A set event over a pending status.
        {"set once: a completion under way", waiting, Set(1010), {setAt1010, A::ReportNothing}},
        {"set, not yet for long", setAt1010, Set(1009 + kLost), {setAt1010, A::ReportNothing}},
        {"set long: a lost completion", setAt1010, Set(1010 + kLost), {byQueue, A::TakeAsEnded}},
        {"cleared: it starts over", setAt1010, Pending(1011), {waiting, A::ReportNothing}},
        {"set beats the bound",
         waiting,
         Set(1000 + kBound),
         {{S::Waiting, 1000, 1000 + kBound}, A::ReportNothing}},
        {"lost after a cancel", {S::Cancelled, 0, 1010}, Set(1010 + kLost), {byQueue, A::TakeAsEnded}},
        {"lost when wedged", {S::Wedged, 0, 1010}, Set(1010 + kLost), {byQueue, A::TakeAsEnded}},
        // The queue.
        {"bytes or errors queued", byQueue, At(Seen::QueueNews), {byQueue, A::ReportEvents}},
        {"none: nothing yet", byQueue, At(Seen::QueueQuiet), {byQueue, A::ReportNothing}},
        {"no look at it: a failure", byQueue, Failed(Seen::QueueFailed, 21), {byQueue, A::ReportFailure}},
    };
    for (const auto& c : cases) {
        const WaitStep step = NextWaitStep(c.Before, c.Seen, kBounds);
        EXPECT_EQ(step.Action, c.After.Action) << c.Name;
        EXPECT_TRUE(step.Mode == c.After.Mode)
            << c.Name << ": state " << static_cast<int>(step.Mode.State) << ", since " << step.Mode.SinceMs
            << ", set " << step.Mode.SetSinceMs;
    }
}

TEST(WaitRule, ASleepIsOnWhatCanEndIt)
{
    using S = WaitState;
    const struct {
        WaitState State;
        bool EventSet;
        SleepOn Expected;
    } cases[] = {
        {S::Collected, false, SleepOn::Nothing}, {S::Idle, false, SleepOn::Read},
        {S::ByQueue, false, SleepOn::Read},      {S::Waiting, false, SleepOn::Wait},
        {S::Cancelled, false, SleepOn::Wait},    {S::Waiting, true, SleepOn::Pause},
        {S::Cancelled, true, SleepOn::Pause},    {S::Wedged, false, SleepOn::Pause},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SleepFor(c.State, c.EventSet), c.Expected)
            << static_cast<int>(c.State) << " " << c.EventSet;
}

} // namespace
