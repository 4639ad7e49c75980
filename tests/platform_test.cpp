#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/wait_watch.h"

#include <atomic>
#include <gtest/gtest.h>
#include <vector>

using namespace belvor::platform;

TEST(Event, AutoResetReleasesOneWaitPerSet)
{
    Event event(false);
    ASSERT_TRUE(event.Created());
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0)) << "an auto-reset event must clear itself on release";
}

TEST(Event, ManualResetStaysSignalledUntilReset)
{
    Event event(true);
    event.Set();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.Wait(10));
}

TEST(Event, SetFromAnotherThreadWakesTheWaiter)
{
    Event event(false);
    Thread thread;
    ASSERT_TRUE(thread.Start([](void* arg) { static_cast<Event*>(arg)->Set(); }, &event, 16384));
    EXPECT_TRUE(event.Wait(5000));
    EXPECT_TRUE(thread.Stop(5000));
}

TEST(Thread, StopReportsAThreadThatOutlivesTheBound)
{
    struct Shared {
        Event Release{true};
        std::atomic<bool> Finished{false};
    } shared;
    Thread thread;
    ASSERT_TRUE(thread.Start(
        [](void* arg) {
            auto* s = static_cast<Shared*>(arg);
            s->Release.Wait(kInfinite);
            s->Finished = true;
        },
        &shared, 16384));
    EXPECT_NE(thread.Id(), 0u);
    Thread releaser;
    ASSERT_TRUE(releaser.Start([](void* arg) { SleepMs(100), static_cast<Shared*>(arg)->Release.Set(); },
                               &shared, 16384));
    // The bound is shorter than the thread's life: Stop says so (and on
    // Windows ends it by force, elsewhere waits for it).
    EXPECT_FALSE(thread.Stop(10));
    EXPECT_FALSE(thread.Running());
    EXPECT_TRUE(releaser.Stop(5000));
}

// The rule for a wait for line events that has not ended: each case is a
// series of looks (time since the start, whether the event is set, whether
// the wait was just cancelled) and what each look must say.
TEST(WaitWatch, LostCompletionsAreTakenCancelsComeAfterTheBoundAndWedgedWaitsAreGivenUp)
{
    using belvor::platform::WaitVerdict;
    using belvor::platform::WaitWatch;
    constexpr int64_t kLost = WaitWatch::kLostCompletionMs;
    constexpr int64_t kBound = WaitWatch::kWaitBoundMs;
    struct Step {
        int64_t AtMs;
        bool EventSet;
        WaitVerdict Expected;
        bool CancelHere = false; // the caller cancels after this look
    };
    struct Case {
        const char* Name;
        std::vector<Step> Steps;
    };
    const Case cases[] = {
        {"a quiet wait goes on until its bound",
         {{0, false, WaitVerdict::Going},
          {kBound - 1, false, WaitVerdict::Going},
          {kBound, false, WaitVerdict::Cancel}}},
        {"a set event over a pending status, once, is a completion under way",
         {{10, true, WaitVerdict::Going},
          {11, false, WaitVerdict::Going},
          {10 + kLost, true, WaitVerdict::Going}}},
        {"a set event over a pending status for the bound is a lost completion",
         {{10, true, WaitVerdict::Going},
          {10 + kLost - 1, true, WaitVerdict::Going},
          {10 + kLost, true, WaitVerdict::LostCompletion}}},
        {"a lost completion wins over the wait's own bound",
         {{kBound, true, WaitVerdict::Going}, {kBound + kLost, true, WaitVerdict::LostCompletion}}},
        {"a cancel is given the bound to end the wait, then it is wedged",
         {{kBound, false, WaitVerdict::Cancel, true},
          {2 * kBound - 1, false, WaitVerdict::Going},
          {2 * kBound, false, WaitVerdict::Wedged},
          {3 * kBound, false, WaitVerdict::Wedged}}},
    };
    for (const Case& c : cases) {
        WaitWatch watch;
        watch.Started(1000);
        for (const Step& step : c.Steps) {
            EXPECT_EQ(watch.Look(step.EventSet, 1000 + step.AtMs), step.Expected)
                << c.Name << " at " << step.AtMs;
            if (step.CancelHere)
                watch.Cancelled(1000 + step.AtMs);
        }
    }
    // A new wait starts with a clean slate.
    WaitWatch watch;
    watch.Started(0);
    (void)watch.Look(true, 0);
    watch.Cancelled(kBound);
    watch.Started(5 * kBound);
    EXPECT_EQ(watch.Look(true, 5 * kBound + kLost), WaitVerdict::Going) << "the set event was the old wait's";
    EXPECT_EQ(watch.Look(false, 6 * kBound - 1), WaitVerdict::Going) << "the cancel was the old wait's";
}
