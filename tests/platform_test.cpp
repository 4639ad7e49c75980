#include "platform/errors.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/wait_watch.h"

#include <atomic>
#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace belvor::platform;

namespace {
// What a wait told: a time that ran out is no failure.
std::string Told(const Result<bool>& waited)
{
    if (!waited)
        return "failed " + std::to_string(waited.Error());
    return *waited ? "signalled" : "timed out";
}
} // namespace

TEST(Event, AutoResetReleasesOneWaitPerSet)
{
    Event event(false);
    ASSERT_TRUE(event.Created());
    EXPECT_EQ(Told(event.Wait(0)), "timed out");
    event.Set();
    EXPECT_EQ(Told(event.Wait(0)), "signalled");
    EXPECT_EQ(Told(event.Wait(0)), "timed out") << "an auto-reset event must clear itself on release";
}

TEST(Event, ManualResetStaysSignalledUntilReset)
{
    Event event(true);
    event.Set();
    EXPECT_EQ(Told(event.Wait(0)), "signalled");
    EXPECT_EQ(Told(event.Wait(0)), "signalled");
    event.Reset();
    EXPECT_EQ(Told(event.Wait(10)), "timed out");
}

TEST(Event, OneTheSystemRefusedFailsItsWaitsWithTheRefusal)
{
    const EventCreateHook previous = ReplaceEventCreateHook([]() -> uint32_t { return 1234; });
    Event event(true);
    ReplaceEventCreateHook(previous);
    EXPECT_EQ(event.Created().Error(), 1234u);
    event.Set();
    EXPECT_EQ(Told(event.Wait(0)), "failed 1234");
}

TEST(Event, SetFromAnotherThreadWakesTheWaiter)
{
    Event event(false);
    Thread thread;
    ASSERT_TRUE(thread.Start([](void* arg) { static_cast<Event*>(arg)->Set(); }, &event, 16384));
    EXPECT_EQ(Told(event.Wait(5000)), "signalled");
    EXPECT_TRUE(thread.Stop(5000));
}

// The one maker of the system's error text (the log, the monitor and the
// bridge all print it): the system's words on one line, with the code after
// them for a person, or the code alone where the system has no words.
TEST(SystemMessage, WordsOnOneLineWithTheirCodeOrTheCodeAlone)
{
    struct Case {
        uint32_t Code;
        const char* Words; // nullptr: the system's own, which vary with its language
        bool HasWords;
    };
#ifdef _WIN32
    const Case cases[] = {{5, nullptr, true},    // ERROR_ACCESS_DENIED
                          {1167, nullptr, true}, // ERROR_DEVICE_NOT_CONNECTED
                          {0x2000ABCDu, "error 536914893", false}};
#else
    const Case cases[] = {{EIO, "Input/output error", true},
                          {ENOENT, "No such file or directory", true},
                          {424242, "Unknown error 424242", true}};
#endif
    for (const Case& c : cases) {
        const std::string words = SystemMessage(c.Code);
        const std::string code = "error " + std::to_string(c.Code);
        if (c.Words) {
            EXPECT_EQ(words, c.Words);
        }
        ASSERT_FALSE(words.empty());
        EXPECT_EQ(words.find_first_of("\r\n"), std::string::npos) << words;
        EXPECT_NE(words.back(), ' ') << words;
        if (!c.HasWords) {
            EXPECT_EQ(SystemMessageWithCode(c.Code), code);
            EXPECT_EQ(SystemMessageWithCode(c.Code, true), code);
            continue;
        }
        EXPECT_EQ(SystemMessageWithCode(c.Code), words + " (" + code + ")");
        const std::string sentence = words.back() == '.' ? words.substr(0, words.size() - 1) : words;
        EXPECT_EQ(SystemMessageWithCode(c.Code, true), sentence + " (" + code + ")");
    }
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
            (void)s->Release.Wait(kInfinite);
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
