// The port's worker on its own, running a stand-in's rounds: its start and
// stop handshake, and what it does after each kind of round.
#include "serial/PortWorker.h"
#include "support/fake_serial_device.h"
#include "support/test_port.h"

#include <gtest/gtest.h>

using namespace belvor;
using namespace belvor::test;

namespace {

// Rounds that only look at the line (as the port's do) and say what comes next.
class StandInRound final : public PortWorker::Round {
public:
    std::unique_ptr<LineSession> Line = Open();
    std::atomic<NextStep> Next{NextStep::Poll};
    std::atomic<int> Runs{0};

    NextStep Run(RoundWatch& /*watch*/) override
    {
        Line->Look();
        ++Runs;
        return Next;
    }

private:
    static std::unique_ptr<LineSession> Open()
    {
        return std::make_unique<LineSession>(std::move(*platform::OpenSerialDevice(3, {})));
    }
};

class Worker : public ::testing::Test {
protected:
    FakeLine Fake; // before the stand-in: its opener makes the stand-in's device
    StandInRound Round;
    PortWorker Subject{Round, Round.Line};

    // Also after a failed check: a worker left running would outlive its port.
    void TearDown() override { (void)StopInTime(); }

    // Asks the stop as the port does, and says whether it came in time.
    bool StopInTime()
    {
        const uint32_t late = platform::LateThreadStops();
        Subject.RequestStop();
        Round.Line->Interrupt();
        Subject.Stop();
        return platform::LateThreadStops() == late;
    }
};

} // namespace

TEST_F(Worker, StartsArmedDoesWhatEachRoundSaysAndAStopEndsItEvenParked)
{
    platform::Event woke(false);
    Subject.SetWakeSignal(&woke);
    Fake.HoldNaps = true; // a sleep until news lasts until the device is woken
    Subject.Pause().SetWakeOnEvent(true);
    Round.Next = NextStep::Pause;
    ASSERT_TRUE(Subject.Start());
    EXPECT_EQ(Fake.Arms(), (std::vector<platform::RefusedWatches>{{}}))
        << "the line is armed, with every watch, before the start is acknowledged";
    ASSERT_TRUE(Fake.Idle(1000000)) << "asleep until news";
    EXPECT_FALSE(woke.Wait(0).ValueOr(true));
    Round.Next = NextStep::Poll;
    Round.Line->Device().Wake();
    EXPECT_TRUE(woke.Wait(5000).ValueOr(false)) << "the wake went to the signal";
    int runs = Round.Runs;
    ASSERT_TRUE(Eventually([&] { return Round.Runs > runs + 2; }))
        << "a round owed polls, though set to sleep";
    EXPECT_FALSE(woke.Wait(0).ValueOr(true)) << "and sets nothing";
    EXPECT_TRUE(StopInTime());
    EXPECT_TRUE(Subject.StopRequested());

    Subject.Pause().SetWakeOnEvent(false);
    Round.Next = NextStep::Pause;
    ASSERT_TRUE(Subject.Start());
    EXPECT_FALSE(Subject.StopRequested());
    runs = Round.Runs;
    ASSERT_TRUE(Eventually([&] { return Round.Runs > runs + 2; })) << "it polls, not set to sleep";
    Round.Next = NextStep::Park;
    ASSERT_TRUE(Eventually([&] { return Subject.Look().OverdueMs == PortWorker::kNotWatched; }))
        << "parked on purpose: not watched";
    const int parked = Round.Runs;
    EXPECT_TRUE(StopInTime()) << "a parked worker sleeps until the stop, not past it";
    EXPECT_EQ(Round.Runs, parked) << "a parked worker runs no more rounds, the stop's included";
    EXPECT_FALSE(woke.Wait(0).ValueOr(true));
}

// A system sleep is no stall: the worker's waits stop while the system sleeps,
// and the clock its rounds are measured on must stop with them. Right after a
// resume a polling worker, and one asleep until news, are within their time.
TEST_F(Worker, IsWithinItsTimeRightAfterTheSystemSlept)
{
    constexpr int64_t kNightMs = 8 * 3600 * 1000;
    constexpr int64_t kStallMs = 5000; // what the driver tells as a stall
    Round.Next = NextStep::Pause;
    for (const bool wake : {false, true}) {
        SCOPED_TRACE(wake ? "asleep until news" : "polling");
        Subject.Pause().SetWakeOnEvent(wake);
        ASSERT_TRUE(Subject.Start());
        ASSERT_TRUE(Fake.Idle(2));
        platform::PassSystemSleepForTesting(kNightMs);
        const PortWorker::Sight sight = Subject.Look();
        platform::PassSystemSleepForTesting(-kNightMs);
        EXPECT_LT(sight.OverdueMs, kStallMs);
        EXPECT_LT(sight.QuietMs, kStallMs);
        if (wake) {
            EXPECT_LT(sight.OverdueMs, 0) << "its sleep's bound still ahead";
        }
        ASSERT_TRUE(StopInTime());
    }
}
