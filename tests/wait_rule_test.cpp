// The Windows device's wait rule, one row per state and observation.
#include "platform/wait_rule.h"

#include <gtest/gtest.h>

using namespace belvor::platform;

namespace {

constexpr WaitBounds kBounds; // the device's own
constexpr int64_t kLost = kBounds.LostCompletionMs;
constexpr int64_t kBound = kBounds.WaitBoundMs;
constexpr uint32_t kAborted = 995;

TEST(WaitRule, EachStateAndObservationGivesItsNextModeAndAction)
{
    using S = WaitState;
    using A = WaitAction;
    const WaitMode idle{S::Idle}, collected{S::Collected}, byQueue{S::ByQueue};
    const WaitMode waiting{S::Waiting, 1000}, cancelled{S::Cancelled, 1000}, wedged{S::Wedged, 1000};
    const struct {
        const char* Name;
        WaitMode Before;
        Observation Seen;
        WaitStep After;
    } cases[] = {
        // A look.
        {"no wait: one starts", idle, {Seen::Look, 7}, {{S::Waiting, 7}, A::StartWait}},
        {"one just taken: another starts", collected, {Seen::Look, 7}, {{S::Waiting, 7}, A::StartWait}},
        {"a new wait forgets the old one's set event and cancel",
         {S::Idle, 5, 3},
         {Seen::Look, 7},
         {{S::Waiting, 7}, A::StartWait}},
        {"one in flight is looked at", waiting, {Seen::Look, 7}, {waiting, A::PollWait}},
        {"so is a cancelled one", cancelled, {Seen::Look, 7}, {cancelled, A::PollWait}},
        {"and a wedged one", wedged, {Seen::Look, 7}, {wedged, A::PollWait}},
        {"waits end by themselves: the queue", byQueue, {Seen::Look, 7}, {byQueue, A::CheckQueue}},
        {"a held byte is news before any wait", waiting, {Seen::Look, 7, true}, {waiting, A::ReportBytes}},
        {"and ends what was collected", collected, {Seen::Look, 7, true}, {idle, A::ReportBytes}},
        {"also where the queue is looked at", byQueue, {Seen::Look, 7, true}, {byQueue, A::ReportBytes}},
        // A wait's start.
        {"done at once: its events, and the sleep is on the read",
         waiting,
         {Seen::StartDone},
         {idle, A::ReportEvents}},
        {"pending: nothing yet", waiting, {Seen::StartPending}, {waiting, A::ReportNothing}},
        {"refused: the look failed",
         waiting,
         {Seen::StartFailed, 0, false, false, 87},
         {idle, A::ReportFailure}},
        {"an abort at the start is a failure too (a pulled CDC adapter)",
         waiting,
         {Seen::StartFailed, 0, false, false, kAborted},
         {idle, A::ReportFailure}},
        // A wait's end.
        {"ended: its events, and the next look starts another",
         waiting,
         {Seen::EndDone},
         {collected, A::ReportEvents}},
        {"a cancelled one ended all the same", cancelled, {Seen::EndDone}, {collected, A::ReportEvents}},
        {"a wedged one ended at last", wedged, {Seen::EndDone}, {collected, A::ReportEvents}},
        {"ended alone in an abort (Wine's quiet one): no more waits",
         waiting,
         {Seen::EndFailed, 0, false, false, kAborted},
         {byQueue, A::ReportNothing}},
        {"ended alone in another error: no more waits, and a failure",
         waiting,
         {Seen::EndFailed, 0, false, false, 21},
         {byQueue, A::ReportFailure}},
        {"the cancel ended it: waits go on",
         cancelled,
         {Seen::EndFailed, 0, false, false, kAborted},
         {idle, A::ReportNothing}},
        {"the cancel ended a wedged one",
         wedged,
         {Seen::EndFailed, 0, false, false, kAborted},
         {idle, A::ReportNothing}},
        // A wait that goes on: its bound.
        {"within its bound", waiting, {Seen::EndPending, 1000 + kBound - 1}, {waiting, A::ReportNothing}},
        {"at its bound: cancelled",
         waiting,
         {Seen::EndPending, 1000 + kBound},
         {{S::Cancelled, 1000 + kBound}, A::Cancel}},
        {"a cancel within the bound",
         cancelled,
         {Seen::EndPending, 1000 + kBound - 1},
         {cancelled, A::ReportNothing}},
        {"a cancel past it: wedged, bytes looked for",
         cancelled,
         {Seen::EndPending, 1000 + kBound},
         {wedged, A::ReportBytes}},
        {"wedged: bytes looked for at every look",
         wedged,
         {Seen::EndPending, 1000 + 3 * kBound},
         {wedged, A::ReportBytes}},
        // A set event over a pending status.
        {"set once: a completion under way",
         waiting,
         {Seen::EndPending, 1010, false, true},
         {{S::Waiting, 1000, 1010}, A::ReportNothing}},
        {"set, not yet for the bound",
         {S::Waiting, 1000, 1010},
         {Seen::EndPending, 1010 + kLost - 1, false, true},
         {{S::Waiting, 1000, 1010}, A::ReportNothing}},
        {"set for the bound: a lost completion, looked for through the queue",
         {S::Waiting, 1000, 1010},
         {Seen::EndPending, 1010 + kLost, false, true},
         {byQueue, A::TakeAsEnded}},
        {"cleared between: it starts over",
         {S::Waiting, 1000, 1010},
         {Seen::EndPending, 1011},
         {waiting, A::ReportNothing}},
        {"a set event wins over the wait's own bound",
         waiting,
         {Seen::EndPending, 1000 + kBound, false, true},
         {{S::Waiting, 1000, 1000 + kBound}, A::ReportNothing}},
        {"a lost completion after a cancel",
         {S::Cancelled, 1000, 1010},
         {Seen::EndPending, 1010 + kLost, false, true},
         {byQueue, A::TakeAsEnded}},
        {"a lost completion of a wedged wait",
         {S::Wedged, 1000, 1010},
         {Seen::EndPending, 1010 + kLost, false, true},
         {byQueue, A::TakeAsEnded}},
        // The queue.
        {"bytes or errors queued: news", byQueue, {Seen::QueueNews}, {byQueue, A::ReportEvents}},
        {"none: nothing yet", byQueue, {Seen::QueueQuiet}, {byQueue, A::ReportNothing}},
        {"not to be looked at: the look failed",
         byQueue,
         {Seen::QueueFailed, 0, false, false, 21},
         {byQueue, A::ReportFailure}},
    };
    for (const auto& c : cases) {
        const WaitStep step = NextWaitStep(c.Before, c.Seen, kBounds);
        EXPECT_EQ(step.Action, c.After.Action) << c.Name;
        EXPECT_TRUE(step.Mode == c.After.Mode)
            << c.Name << ": state " << static_cast<int>(step.Mode.State) << ", since " << step.Mode.SinceMs
            << ", set since " << step.Mode.SetSinceMs;
    }
}

TEST(WaitRule, ASleepIsOnWhatCanEndIt)
{
    const struct {
        WaitState State;
        bool EventSet;
        SleepOn Expected;
    } cases[] = {
        {WaitState::Collected, false, SleepOn::Nothing}, {WaitState::Idle, false, SleepOn::Read},
        {WaitState::ByQueue, false, SleepOn::Read},      {WaitState::Waiting, false, SleepOn::Wait},
        {WaitState::Cancelled, false, SleepOn::Wait},    {WaitState::Waiting, true, SleepOn::Pause},
        {WaitState::Cancelled, true, SleepOn::Pause},    {WaitState::Wedged, false, SleepOn::Pause},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SleepFor(c.State, c.EventSet), c.Expected)
            << static_cast<int>(c.State) << " " << c.EventSet;
}

} // namespace
