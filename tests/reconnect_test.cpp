// A scanner unplugged and plugged back: the driver notices, logs it, drops the
// half code, keeps what was queued, opens the port again every second and
// goes on as if nothing had happened. On the fake device, step by step; then on
// a real line (a pty natively, the null-modem pair under Wine).
#include "driver/Testing.h"
#include "logging/Logger.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/seams.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "support/driver_fixture.h"
#include "support/process_census.h"
#include "support/test_line.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace belvor;
using namespace belvor::test;

namespace {

class Reconnect : public DriverTest {
protected:
    Reconnect()
        : DriverTest({.Bound = std::chrono::seconds(90), .CheckLateStops = true, .ReopenMs = kReopenMs})
    {
    }
    static constexpr uint32_t kReopenMs = 100;
};

class FakeReconnect : public Reconnect {
protected:
    LiveFakeLine Line; // COM3
};

} // namespace

TEST_F(FakeReconnect, HalfCodeIsDroppedQueuedCodesStayAndReceptionGoesOn)
{
    platform::Event entered(true), release(true);
    gHook.Set([&](const unsigned char*) {
        entered.Set();
        (void)release.Wait(10000);
    });
    SetStatusProcImpl(&OnStatus, nullptr);
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Feed("1\r2\r3\r45");
    ASSERT_TRUE(entered.Wait(5000).ValueOr(false));
    // 1 is with the host, 2 and 3 wait in the queue, 45 is half a code.
    ASSERT_TRUE(
        Eventually([&] { return Line.Waiting() == 0 && DriverTable.Drivers[0].load()->QueueCount() == 3; }));
    const int opens = Line.Opens();
    Line.Unplug(InjectedDeviceError());
    ASSERT_TRUE(Eventually([&] { return Line.OpenDevices() == 0; })) << "the lost device is closed";
    EXPECT_EQ(StatsOf(0).state, uint32_t{BELVOR_PORT_LOST});
    Line.PlugBack();
    ASSERT_TRUE(Eventually([&] { return Line.Opens() == opens + 1 && Line.OpenDevices() == 1; }, 10000));
    EXPECT_FALSE(HasRecordStarting(Lost(3))) << "the loss waits behind the codes read before it";
    gHook.Set(nullptr);
    release.Set();
    ASSERT_TRUE(Eventually([&] { return HasRecord(Back(3)); }, 10000));
    Line.Feed("6\r");
    ASSERT_TRUE(WaitCodes(4, 10000));
    EXPECT_EQ(gCodes.Codes(), (std::vector<std::string>{"1", "2", "3", "6"})) << "45 never reaches the host";
    std::vector<std::string> order;
    for (const std::string& text : HostLogTexts())
        if (text.size() == 1 || text.starts_with("Port COM"))
            order.push_back(text);
    EXPECT_EQ(order,
              (std::vector<std::string>{
                  "1", "2", "3", Lost(3) + platform::SystemMessage(InjectedDeviceError()), Back(3), "6"}));
    const std::string lost = "lost " + std::to_string(InjectedDeviceError());
    EXPECT_EQ(gTimeline.Codes(), (std::vector<std::string>{"1", "2", "3", lost, "back 0", "6"}));
    const BelvorStats stats = StatsOf(0);
    EXPECT_EQ(stats.state, uint32_t{BELVOR_PORT_OPEN});
    EXPECT_EQ(stats.losses, 1u);
    EXPECT_EQ(stats.returns, 1u);
    EXPECT_EQ(stats.last_error, InjectedDeviceError());
    EXPECT_EQ(DestroyDriverImpl(), 0);
    EXPECT_EQ(Line.OpenDevices(), 0);
}

TEST_F(FakeReconnect, AStopWhileTheLogIsSlowNeverGivesUpOnAWorker)
{
    // Every record takes 600 ms to write, as on a slow share: the loss's record
    // must not be the worker's to write, or the stop would give up on it
    // holding the log's lock.
    static platform::Event writing(true);
    static platform::FileSystem slow = platform::SystemFileSystem();
    slow.Write = [](platform::FileHandle file, const void* data, size_t count) {
        writing.Set();
        platform::SleepMs(600);
        return platform::SystemFileSystem().Write(file, data, count);
    };
    struct Restore {
        ~Restore() { platform::SetSeam(&platform::Seams::Files, nullptr); }
    } restore;
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    ASSERT_EQ(InitDriverImpl(4, &OnCode), 1);
    writing.Reset();
    platform::SetSeam(&platform::Seams::Files, &slow);
    Line.Unplug(InjectedDeviceError());
    ASSERT_TRUE(writing.Wait(5000).ValueOr(false)) << "the loss is being logged";
    EXPECT_EQ(DestroyDriverImpl(), 1);
    EXPECT_EQ(platform::LateThreadStops(), Late) << "a stop had to give up on a worker";
    platform::SetSeam(&platform::Seams::Files, nullptr);
    Line.PlugBack();
    ASSERT_TRUE(Eventually([&] { return HasRecord(Back(3)); }, 10000));
    Line.Feed("8\r");
    ASSERT_TRUE(WaitCodes(1, 10000)) << "the other driver still delivers";
    EXPECT_EQ(gCodes.Codes(), std::vector<std::string>{"8"});
}

TEST_F(FakeReconnect, PortHeldElsewhereWhenItComesBackIsTriedAgain)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Unplug(InjectedDeviceError());
    ASSERT_TRUE(Eventually([&] { return HasRecordStarting(Lost(3)); }));
    Line.OpenError = 16; // busy
    Line.FailOpen = true;
    const int opens = Line.Opens();
    Line.PlugBack();
    Line.Feed("99\r"); // sent before the port was the driver's again: no code of its
    ASSERT_TRUE(Eventually([&] { return Line.Opens() >= opens + 2; }, 10000)) << "it keeps trying";
    EXPECT_FALSE(HasRecord(Back(3)));
    Line.FailOpen = false;
    ASSERT_TRUE(Eventually([&] { return HasRecord(Back(3)); }, 10000));
    Line.Feed("7\r");
    ASSERT_TRUE(WaitCodes(1, 10000));
    EXPECT_EQ(gCodes.Codes(), std::vector<std::string>{"7"});
}

TEST_F(FakeReconnect, DestroyWhileLostOrInTheMiddleOfAReopenReturnsInTime)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Unplug(InjectedDeviceError());
    ASSERT_TRUE(Eventually([&] { return HasRecordStarting(Lost(3)); }));
    EXPECT_EQ(DestroyDriverImpl(), 0) << "while lost";

    ASSERT_EQ(InitDriverImpl(3, &OnCode), -1) << "the port is still unplugged";
    Line.PlugBack();
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Unplug(InjectedDeviceError());
    ASSERT_TRUE(Eventually([&] {
        return HasRecord(Lost(3) + platform::SystemMessage(InjectedDeviceError())) && Line.OpenDevices() == 0;
    }));
    Line.OpenDelayMs = 150; // an open that takes its time
    const int opens = Line.Opens();
    Line.PlugBack();
    ASSERT_TRUE(Eventually([&] { return Line.Opens() > opens; }, 10000)) << "a reopen has begun";
    EXPECT_EQ(DestroyDriverImpl(), 0) << "in the middle of a reopen";
    EXPECT_EQ(Line.OpenDevices(), 0) << "what the reopen opened is closed again";
}

TEST_F(FakeReconnect, AnOpenThatHangsPastTheStopClosesWhatItOpensByItself)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Unplug(InjectedDeviceError());
    ASSERT_TRUE(Eventually([&] { return Line.OpenDevices() == 0; }));
    const auto finished = [&] {
        const auto calls = Line.Calls();
        return static_cast<int>(std::count(calls.begin(), calls.end(), "Open"));
    };
    Line.OpenDelayMs = 2000; // a Bluetooth port that takes its time to answer
    const int opens = Line.Opens();
    Line.PlugBack();
    ASSERT_TRUE(Eventually([&] { return Line.Opens() > opens; }, 10000)) << "a reopen has begun";
    // The stop does not wait for it, nor kill it (TearDown counts late stops).
    EXPECT_EQ(DestroyDriverImpl(), 0);
    ASSERT_TRUE(Eventually([&] { return finished() == Line.Opens() && Line.OpenDevices() == 0; }, 10000))
        << "what the open brought is closed again";
    EXPECT_TRUE(gCodes.Codes().empty());
}

TEST_F(FakeReconnect, ReconnectOffKeepsALostDeviceLostAndTheWorkerAsleep)
{
    WriteConfig("[Port]\r\nReconnect=0\r\n");
    SetStatusProcImpl(&OnStatus, nullptr);
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Unplug(InjectedDeviceError());
    Line.PlugBack();
    const int opens = Line.Opens();
    // Once the worker has seen the loss it sleeps until the stop: a cycling
    // one would look at the lost device again within the next 10 ms.
    ASSERT_TRUE(Eventually([&] { return Line.LossReports() > 0; }));
    const int looks = Line.Looks();
    platform::SleepMs(200);
    EXPECT_EQ(Line.Looks(), looks) << "a lost device is looked at again and again";
    EXPECT_EQ(Line.Opens(), opens) << "no reopen";
    EXPECT_EQ(Line.OpenDevices(), 1) << "the lost device stays open";
    EXPECT_FALSE(HasRecordStarting(Lost(3))) << "the log stays as it always was";
    ASSERT_TRUE(Eventually([] { return gTimeline.Count() == 1; }));
    EXPECT_EQ(gTimeline.Codes(), std::vector<std::string>{"lost " + std::to_string(InjectedDeviceError())})
        << "the host is told all the same";
    EXPECT_EQ(StatsOf(0).state, uint32_t{BELVOR_PORT_GONE});
}

TEST_F(FakeReconnect, OtherValuesOfTheKeyAreIgnoredWithOneRecord)
{
    WriteConfig("[Port]\r\nReconnect=yes\r\n");
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    EXPECT_EQ(Count(HostLogTexts(), "Belvor.ini: [Port] Reconnect=yes ignored"), 1u);
    Line.Unplug(InjectedDeviceError());
    Line.PlugBack();
    EXPECT_TRUE(Eventually([&] { return HasRecord(Back(3)); }, 10000)) << "reconnecting stays on";
}

TEST_F(FakeReconnect, TheConfiguredPathReachesTheOpenAndIsLookedUpAgainForEachReopen)
{
    WriteConfig("[Ports]\r\nCOM3=/dev/scanner-a\r\n");
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Unplug(InjectedDeviceError());
    WriteConfig("[Ports]\r\nCOM3=/dev/scanner-b\r\n"); // before any reopen can succeed
    Line.PlugBack();
    ASSERT_TRUE(Eventually([&] { return HasRecord(Back(3)); }, 10000));
    const std::vector<std::string> wheres = Line.Wheres();
    EXPECT_EQ(wheres.front(), "/dev/scanner-a");
    EXPECT_EQ(wheres.back(), "/dev/scanner-b");
}

TEST_F(Reconnect, RealLineUnpluggedAndPluggedBack)
{
    auto line = MakeRealLine();
    const uint16_t port = line->PortNumber();
    SetStatusProcImpl(&OnStatus, nullptr);
    ASSERT_EQ(InitDriverImpl(port, &OnCode), 0);
    ASSERT_TRUE(line->Send("111\r"));
    ASSERT_TRUE(WaitCodes(1, 10000));
    ASSERT_TRUE(line->Send("22")); // half a code, cut off by the loss
    if (!line->PullCable())
        GTEST_SKIP() << "this line cannot be unplugged";
    ASSERT_TRUE(Eventually([&] { return HasRecordStarting(Lost(port)); }, 10000));
    ASSERT_TRUE(line->PlugBackIn());
    ASSERT_TRUE(Eventually([&] { return HasRecord(Back(port)); }, 10000));
    ASSERT_TRUE(line->Send("333\r"));
    ASSERT_TRUE(WaitCodes(2, 10000));
    EXPECT_EQ(gCodes.Codes(), (std::vector<std::string>{"111", "333"}));
    auto texts = HostLogTexts();
    std::erase_if(texts, [](const std::string& text) { return text.starts_with("StatusProc: "); });
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[0], "111");
    EXPECT_TRUE(texts[1].starts_with(Lost(port)) && texts[1].size() > Lost(port).size()) << texts[1];
    EXPECT_EQ(texts[2], Back(port));
    EXPECT_EQ(texts[3], "333");
    EXPECT_NE(ReadAll(HostLogPath()).find("\r\n! "), std::string::npos) << "the loss is logged at level 3";
    const BelvorStats stats = StatsOf(0);
    EXPECT_NE(stats.last_error, 0u);
    EXPECT_EQ(gTimeline.Codes(),
              (std::vector<std::string>{"111", "lost " + std::to_string(stats.last_error), "back 0", "333"}));
    EXPECT_EQ(stats.losses, 1u);
    EXPECT_EQ(stats.returns, 1u);
    EXPECT_EQ(DestroyDriverImpl(), 0);
}

TEST_F(Reconnect, RealLineWithReconnectOffStaysLost)
{
    WriteConfig("[Port]\r\nReconnect=0\r\n");
    auto line = MakeRealLine();
    ASSERT_EQ(InitDriverImpl(line->PortNumber(), &OnCode), 0);
    ASSERT_TRUE(line->Send("111\r"));
    ASSERT_TRUE(WaitCodes(1, 10000));
    if (!line->PullCable())
        GTEST_SKIP() << "this line cannot be unplugged";
    ASSERT_TRUE(line->PlugBackIn());
    ASSERT_TRUE(line->Send("333\r"));
    // Ten tries to reopen would have been made by now, and the code be here.
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * kReopenMs));
    EXPECT_EQ(gCodes.Codes(), std::vector<std::string>{"111"});
    EXPECT_EQ(DestroyDriverImpl(), 0);
}
