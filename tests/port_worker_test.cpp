// The port's worker on its own, driven by a stand-in for the port: its start
// and stop handshake, and the events it keeps across a lost line.
#include "serial/PortWorker.h"
#include "support/fake_serial_device.h"
#include "support/test_port.h"

#include <gtest/gtest.h>

using namespace belvor;
using namespace belvor::test;

namespace {

// A port that only keeps its line, and drops it when the worker says so.
class StandInPort final : public PortWorker::Owner {
public:
    std::unique_ptr<LineSession> Line = Open();
    std::atomic<bool> AwaitedWithoutModemLines{false};
    std::atomic<int> Drops{0};

    void AwaitLine(const platform::RefusedWatches& refused) override
    {
        AwaitedWithoutModemLines = refused.ModemLines;
        platform::SleepMs(1); // as a reopener's bounded wait
    }
    void DropLine(uint32_t /*error*/) override
    {
        Line.reset();
        ++Drops;
    }
    void KeepLost(uint32_t /*error*/) override {}
    void DispatchEvents() override {}
    bool CycleOwed() override { return false; }
    void DataReceived(int32_t /*count*/) override {}
    uint32_t Unread() override { return 0; }

private:
    static std::unique_ptr<LineSession> Open()
    {
        return std::make_unique<LineSession>(std::move(*platform::OpenSerialDevice(3, {})));
    }
};

class Worker : public ::testing::Test {
protected:
    FakeLine Fake; // before the stand-in: its opener makes the stand-in's device
    StandInPort Port;
    PortWorker Subject{Port, Port.Line};

    // Also after a failed check: a worker left running would outlive its port.
    void TearDown() override { (void)StopInTime(); }

    // Asks the stop as the port does, and says whether it came in time.
    bool StopInTime()
    {
        const uint32_t late = platform::LateThreadStops();
        Subject.RequestStop();
        Port.Line ? Port.Line->Interrupt() : void();
        Subject.Stop();
        return platform::LateThreadStops() == late;
    }
};

} // namespace

TEST_F(Worker, StartsArmedStopsAndStartsAgainAndAStopEndsItEvenParked)
{
    Subject.EnableDataReceived();
    Subject.SetReconnect(false);
    ASSERT_TRUE(Subject.Start());
    EXPECT_EQ(Fake.Arms(), (std::vector<platform::RefusedWatches>{{}}))
        << "the line is armed, with every watch, before the start is acknowledged";
    EXPECT_TRUE(StopInTime());
    EXPECT_TRUE(Subject.StopRequested());

    ASSERT_TRUE(Subject.Start());
    EXPECT_FALSE(Subject.StopRequested());
    const int looks = Fake.Looks();
    ASSERT_TRUE(Eventually([&] { return Fake.Looks() > looks + 2; })) << "it cycles again";
    Fake.Unplug(5);
    ASSERT_TRUE(Eventually([&] { return Fake.LossReports() > 0; }));
    EXPECT_TRUE(StopInTime()) << "a parked worker sleeps until the stop, not past it";
    EXPECT_EQ(Port.Drops, 0) << "without reconnecting the lost line is kept";
}

TEST_F(Worker, WatchesALostLineRefusedStayUnaskedForTheNextLine)
{
    Fake.Refuse.ModemLines = true;
    Subject.EnableDataReceived();
    ASSERT_TRUE(Subject.Start());
    Fake.Unplug(5);
    ASSERT_TRUE(Eventually([&] { return Port.AwaitedWithoutModemLines.load(); }));
    EXPECT_EQ(Port.Drops, 1);
    EXPECT_TRUE(StopInTime());
}

// A system sleep is no stall: the worker's waits stop while the system sleeps,
// and the clock its rounds are measured on must stop with them. Right after a
// resume a polling worker, and one asleep until news, are within their time.
TEST_F(Worker, IsWithinItsTimeRightAfterTheSystemSlept)
{
    constexpr int64_t kNightMs = 8 * 3600 * 1000;
    constexpr int64_t kStallMs = 5000; // what the driver tells as a stall
    Subject.EnableDataReceived();
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
