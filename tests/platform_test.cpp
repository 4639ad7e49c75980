#include "platform/sync.h"
#include "platform/thread.h"

#include <atomic>
#include <gtest/gtest.h>

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
