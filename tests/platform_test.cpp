#include "platform/errors.h"
#include "platform/seams.h"
#include "platform/sync.h"
#include "platform/thread.h"

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
    return !waited ? "failed " + std::to_string(waited.Error()) : *waited ? "signalled" : "timed out";
}
} // namespace

// Each case: an event (manual-reset or not; made, or refused by the system
// with a code) and its steps: "set", "reset", or what a wait must tell.
TEST(Event, AWaitTellsSignalledOrTimedOutAndFailsOnlyForAnEventTheSystemRefused)
{
    struct Case {
        bool ManualReset;
        uint32_t Refusal;
        std::vector<std::string> Steps;
    };
    const Case cases[] = {
        // Auto-reset: it clears itself on release, one wait per set.
        {false, 0, {"timed out", "set", "signalled", "timed out"}},
        {true, 0, {"set", "signalled", "signalled", "reset", "timed out"}},
        {true, 1234, {"set", "failed 1234"}},
    };
    static uint32_t refusal;
    for (const Case& c : cases) {
        refusal = c.Refusal;
        const Seams previous = SetSeam(&Seams::EventCreate, [] { return refusal; });
        Event event(c.ManualReset);
        SetSeams(previous);
        EXPECT_EQ(event.Created().Error(), c.Refusal);
        for (const std::string& step : c.Steps) {
            if (step == "set")
                event.Set();
            else if (step == "reset")
                event.Reset();
            else
                EXPECT_EQ(Told(event.Wait(0)), step) << c.ManualReset << " " << c.Refusal;
        }
    }
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
        const std::string words = SystemMessage(c.Code), code = "error " + std::to_string(c.Code);
        if (c.Words) {
            EXPECT_EQ(words, c.Words);
        }
        EXPECT_TRUE(!words.empty() && words.find_first_of("\r\n") == std::string::npos && words.back() != ' ')
            << words;
        const std::string sentence = words.substr(0, words.find_last_not_of('.') + 1);
        EXPECT_EQ(SystemMessageWithCode(c.Code), c.HasWords ? words + " (" + code + ")" : code);
        EXPECT_EQ(SystemMessageWithCode(c.Code, true), c.HasWords ? sentence + " (" + code + ")" : code);
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
