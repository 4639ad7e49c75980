// What a host learns besides its codes: the status reports, in order with the
// codes, and the statistics, which must add up to exactly what the scanner
// sent; and the settings a port's own section gives it. Through the exports'
// bodies on the fake device.
#include "driver/Testing.h"
#include "platform/errors.h"
#include "platform/profile.h"
#include "support/driver_fixture.h"

#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace belvor;
using namespace belvor::test;

namespace {

class Status : public DriverTest {
protected:
    LiveFakeLine Line; // COM3
};

// Every field but the time since the last code, for one readable comparison.
std::string Describe(const BelvorStats& s)
{
    std::string text;
    const auto add = [&text](const char* name, uint64_t value) {
        text += std::string(name) + "=" + std::to_string(value) + " ";
    };
    add("size", s.size), add("port", s.port), add("state", s.state), add("error", s.last_error);
    add("delivered", s.codes_delivered), add("undelivered", s.codes_undelivered), add("cut", s.codes_cut);
    add("dropped", s.codes_dropped), add("bytes", s.bytes_received), add("refused", s.bytes_refused);
    add("overruns", s.overruns), add("parity", s.parity_errors), add("framing", s.framing_errors);
    add("breaks", s.breaks), add("losses", s.losses), add("returns", s.returns);
    add("queue", s.queue_length), add("high", s.queue_high);
    return text;
}

} // namespace

TEST_F(Status, StatisticsAndReportsAddUpToWhatTheScannerSentPastCutsRefusalsAndAStuckCallback)
{
    WriteConfig("[Chars]\r\nAllow=0123456789\r\n[Code]\r\nMaxLength=5\r\nQueueLimit=4\r\n");
    platform::Event entered(true), release(true);
    BelvorStats inside{};
    std::atomic<int32_t> insideResult{1};
    gHook.Set([&](const unsigned char* data) {
        if (data[0] != '1')
            return;
        inside.size = sizeof inside;
        insideResult = GetDriverStatsImpl(0, &inside);
        entered.Set();
        (void)release.Wait(platform::kInfinite);
    });
    SetCodeProcImpl(&OnTimelineCode, nullptr);
    SetStatusProcImpl(&OnStatus, nullptr);
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    EXPECT_EQ(StatsOf(0).ms_since_code, -1) << "no code yet";
    Line.Feed("1\r");
    ASSERT_TRUE(entered.Wait(5000).ValueOr(false));
    // 1 is in the stuck callback; 22, 33 and the cut 44444 fill the queue of
    // four; 55 and 6 are dropped. x and y are not allowed.
    const std::string burst = "22\r3x3\r4444444\r55\r6y\r";
    Line.Feed(burst);
    ASSERT_TRUE(Eventually([&] { return Line.Waiting() == 0; }));
    ASSERT_TRUE(Line.Idle(2));
    release.Set();
    ASSERT_TRUE(Eventually([] { return gTimeline.Count() == 6; }));
    EXPECT_EQ(gTimeline.Codes(), (std::vector<std::string>{"1", "22", "33", "cut 7", "44444", "dropped 2"}));
    EXPECT_EQ(insideResult.load(), 0) << "called from inside a callback";
    EXPECT_EQ(inside.codes_delivered, 0u) << "the code in hand counts once its callback returns";
    EXPECT_EQ(inside.queue_length, 1u) << "and waits in the queue until then";

    SetCodeProcImpl(nullptr, nullptr);
    SetEventProcImpl(nullptr);
    Line.Feed("7\r");
    ASSERT_TRUE(Eventually([] { return StatsOf(0).codes_undelivered == 1; }));
    const BelvorStats after = StatsOf(0);
    BelvorStats expected{};
    expected.size = sizeof expected;
    expected.port = 3;
    expected.state = BELVOR_PORT_OPEN;
    expected.codes_delivered = 4;
    expected.codes_undelivered = 1;
    expected.codes_cut = 1;
    expected.codes_dropped = 2;
    expected.bytes_received = 2 + burst.size() + 2;
    expected.bytes_refused = 2;
    expected.queue_high = 4;
    EXPECT_EQ(Describe(after), Describe(expected));
    EXPECT_GE(after.ms_since_code, 0);
}

TEST_F(Status, GetDriverStatsRefusesWhatNamesNoDriverAndSaysWhy)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    const uint32_t invalid = platform::SystemErrorCode(platform::ErrorKind::InvalidArgument);
    const uint32_t none = platform::SystemErrorCode(platform::ErrorKind::NoneLive);
    struct Case {
        int32_t Driver;
        bool Null;
        uint32_t Size;
        uint32_t Error;
    };
    for (const Case c :
         {Case{-1, false, sizeof(BelvorStats), none}, Case{1, false, sizeof(BelvorStats), none},
          Case{10, false, sizeof(BelvorStats), none}, Case{0, true, sizeof(BelvorStats), invalid},
          Case{0, false, 0, invalid}, Case{0, false, kFirstStatsSize - 1, invalid}}) {
        BelvorStats stats{};
        stats.size = c.Size;
        platform::SetLastSystemError(0);
        EXPECT_EQ(GetDriverStatsImpl(c.Driver, c.Null ? nullptr : &stats), -1) << c.Driver << " " << c.Size;
        EXPECT_EQ(platform::LastSystemError(), c.Error) << c.Driver << " " << c.Size;
    }
    // A later version's larger struct: this one fills what it knows, and says how much.
    struct {
        BelvorStats Known;
        uint64_t Later;
    } larger{};
    larger.Known.size = sizeof larger;
    larger.Later = 77;
    ASSERT_EQ(GetDriverStatsImpl(0, &larger.Known), 0);
    EXPECT_EQ(larger.Known.size, sizeof(BelvorStats));
    EXPECT_EQ(larger.Known.port, 3u);
    EXPECT_EQ(larger.Later, 77u);
    // The first version's struct: filled up to its end, not beyond.
    BelvorStats first{};
    first.size = kFirstStatsSize;
    first.reader_stalls = 99;
    ASSERT_EQ(GetDriverStatsImpl(0, &first), 0);
    EXPECT_EQ(first.size, kFirstStatsSize);
    EXPECT_EQ(first.reader_stalls, 99u);
    ASSERT_EQ(DestroyDriverImpl(), 0);
    BelvorStats gone{};
    gone.size = sizeof gone;
    EXPECT_EQ(GetDriverStatsImpl(0, &gone), -1) << "a destroyed driver";
}

namespace {

struct StatusCalls {
    std::atomic<int> Calls{0};
    std::atomic<int32_t> Destroyed{0};
};

void BELVOR_CALL ThrowThenDestroy(int32_t, int32_t, uint32_t, void* context)
{
    auto& calls = *static_cast<StatusCalls*>(context);
    if (calls.Calls.fetch_add(1) == 0)
        throw std::runtime_error("status failed");
    calls.Destroyed = DestroyDriverImpl();
}

} // namespace

TEST_F(Status, AStatusProcThatThrowsOrDestroysIsHandledAsTheCodeProc)
{
    WriteConfig("[Code]\r\nMaxLength=2\r\n");
    StatusCalls calls;
    SetStatusProcImpl(&ThrowThenDestroy, &calls);
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Feed("123\r456\r");
    ASSERT_TRUE(WaitCodes(2));
    ASSERT_TRUE(Eventually([&] { return calls.Destroyed.load() != 0; }));
    EXPECT_EQ(calls.Destroyed.load(), -1) << "DestroyDriver from inside the StatusProc is refused";
    EXPECT_EQ(Count(HostLogTexts(), "Exception: status failed"), 1u);
    EXPECT_EQ(gCodes.Codes(), (std::vector<std::string>{"12", "45"})) << "the codes still reach the host";
}

TEST(Settings, APortsOwnSectionWinsAndTheLineIs9600_8N1UnlessSet)
{
    struct Case {
        const char* Ini;
        uint16_t Port;
        const char* Expected; // baud data parity stop end max allow
        std::vector<std::string> Ignored;
    };
    const Case cases[] = {
        {"", 3, "9600 8 0 1 13 104 0123456789ABCDEF", {}},
        {"[Port]\r\nBaud=115200\r\nDataBits=7\r\nParity=Even\r\nStopBits=2\r\n",
         3,
         "115200 7 2 2 13 104 0123456789ABCDEF",
         {}},
        {"[Port]\r\nBaud=230400\r\nParity=Odd\r\n", 3, "230400 8 1 1 13 104 0123456789ABCDEF", {}},
        {"[Port]\r\nBaud=9601\r\nDataBits=6\r\nParity=even\r\nStopBits=1.5\r\n",
         3,
         "9600 8 0 1 13 104 0123456789ABCDEF",
         {"[Port] Baud=9601", "[Port] DataBits=6", "[Port] Parity=even", "[Port] StopBits=1.5"}},
        {"[Port]\r\nBaud=300\r\n", 3, "9600 8 0 1 13 104 0123456789ABCDEF", {"[Port] Baud=300"}},
        {"[Code]\r\nEnd=13\r\n[COM3]\r\nEnd=10\r\nMaxLength=2000\r\nBaud=115200\r\nAllow=9\r\n",
         3,
         "115200 8 0 1 10 2000 9",
         {}},
        {"[Code]\r\nEnd=13\r\n[COM3]\r\nEnd=10\r\nMaxLength=2000\r\nBaud=115200\r\nAllow=9\r\n",
         4,
         "9600 8 0 1 13 104 0123456789ABCDEF",
         {}},
        {"[Port]\r\nBaud=19200\r\n[COM3]\r\nBaud=fast\r\n",
         3,
         "19200 8 0 1 13 104 0123456789ABCDEF",
         {"[COM3] Baud=fast"}},
        // A value that is the reader's own marker for "absent" is still a value.
        {"[Chars]\r\nAllow=\x01\x02\r\n", 3, "9600 8 0 1 13 104 \x01\x02", {}},
    };
    for (const Case& c : cases) {
        WriteConfig(std::string(c.Ini));
        const TDriverSettings s = ReadDriverSettings(platform::ConfigFilePath(), c.Port);
        const std::string got = std::to_string(s.BaudRate) + " " + std::to_string(s.DataBits) + " " +
                                std::to_string(s.Parity) + " " + std::to_string(s.StopBits) + " " +
                                std::to_string(s.End) + " " + std::to_string(s.MaxLength) + " " + s.Allow;
        EXPECT_EQ(got, c.Expected) << c.Ini << " on COM" << c.Port;
        EXPECT_EQ(s.Ignored, c.Ignored) << c.Ini << " on COM" << c.Port;
    }
    WriteConfig(std::nullopt);
}

TEST_F(Status, LineErrorsAreCountedByKind)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    struct Case {
        platform::LineErrors Errors;
        const char* Expected; // overruns parity framing breaks, all so far
    };
    const Case cases[] = {
        {{.Overrun = true}, "1 0 0 0"},
        {{.QueueOverflow = true, .Parity = true}, "2 1 0 0"},
        {{.Framing = true, .Break = true}, "2 1 1 1"},
        {{.QueueOverflow = true, .Overrun = true, .Break = true}, "3 1 1 2"},
        {{.Parity = 4, .Framing = 3}, "3 5 4 2"}, // a system that counts: each one
    };
    size_t codes = 0;
    for (const Case& c : cases) {
        Line.ReportErrors(c.Errors);
        Line.Feed("1\r"); // the next look at the line clears them
        ASSERT_TRUE(WaitCodes(++codes));
        const BelvorStats s = StatsOf(0);
        EXPECT_EQ(std::to_string(s.overruns) + " " + std::to_string(s.parity_errors) + " " +
                      std::to_string(s.framing_errors) + " " + std::to_string(s.breaks),
                  c.Expected);
    }
}

TEST_F(Status, TwoScannersOnOneTillEachWithItsOwnSection)
{
    WriteConfig("[COM3]\r\nEnd=13\r\nBaud=9600\r\n"
                "[COM4]\r\nEnd=10\r\nMaxLength=2000\r\nAllowCodes=29, 32-126\r\nBaud=115200\r\n");
    SetCodeProcImpl(&OnTimelineCode, nullptr);
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    ASSERT_EQ(InitDriverImpl(4, &OnCode), 1);
    EXPECT_EQ(Line.StateOf(3).BaudRate, 9600u);
    EXPECT_EQ(Line.StateOf(4).BaudRate, 115200u);
    const std::string marking = "0104600000000017\x1D"
                                "21" +
                                std::string(1500, 'A');
    Line.FeedPort(4, marking + "\n");
    ASSERT_TRUE(Eventually([] { return gTimeline.Count() == 1; }));
    Line.FeedPort(3, "4006381333931\r" + std::string(120, '7') + "\r");
    ASSERT_TRUE(Eventually([] { return gTimeline.Count() == 3; }));
    EXPECT_EQ(gTimeline.Codes(),
              (std::vector<std::string>{marking.substr(0, 255), "4006381333931", std::string(104, '7')}))
        << "the 2D code whole (the timeline keeps 255), the 1D codes cut at the default 104";
    EXPECT_EQ(StatsOf(1).codes_cut, 0u);
    EXPECT_EQ(StatsOf(1).bytes_received, marking.size() + 1);
    EXPECT_EQ(StatsOf(0).codes_cut, 1u);
}

// A worker stuck in a call that does not return, or in a wait that ignores its
// bound and every news, is told to the host once, logged and counted; one that
// gets going again is told again, and its codes come after that.
TEST_F(Status, AStuckWorkerIsToldOnceAndAgainWhenItRunsOn)
{
    struct Case {
        const char* Name;
        bool Wake; // the event mode: a worker that sleeps until news
        std::function<void(FakeLine&)> Stick;
        bool RunsOn;
    };
    const Case cases[] = {
        {"a look that blocks", false, [](FakeLine& line) { line.BlockLookMs = 800; }, true},
        {"a wait that never ends", true, [](FakeLine& line) { line.HoldNaps = true; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        gTimeline.Clear();
        WriteConfig(c.Wake ? "[Port]\r\nWake=Event\r\n" : "");
        // A held nap counts from the end of its bound: a short one.
        const platform::Timings previous =
            platform::SetTimings({.NewsWaitMs = 200, .DeliveryRecheckMs = 50, .ReaderStallMs = 300});
        SetCodeProcImpl(&OnTimelineCode, nullptr);
        SetStatusProcImpl(&OnStatus, nullptr);
        ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
        Line.Feed("1\r");
        ASSERT_TRUE(Eventually([] { return gTimeline.Count() == 1; }));
        ASSERT_TRUE(Line.Idle(1));
        c.Stick(Line);
        const auto toldStalled = [] {
            const std::vector<std::string> codes = gTimeline.Codes();
            return std::any_of(codes.begin(), codes.end(),
                               [](const std::string& e) { return e.starts_with("stalled "); });
        };
        ASSERT_TRUE(Eventually(toldStalled));
        // A code that comes while the worker is stuck waits for it (fed only now: the round in
        // which the worker got stuck might have taken it first).
        Line.Feed("2\r");
        const BelvorStats stuck = StatsOf(0);
        EXPECT_EQ(stuck.reader_stalled, 1u);
        EXPECT_EQ(stuck.reader_stalls, 1u);
        EXPECT_GE(stuck.ms_since_round, 300u);
        const std::vector<std::string> seen = gTimeline.Codes();
        ASSERT_GE(seen.size(), 2u);
        EXPECT_EQ(seen[0], "1");
        const std::string told = seen[1];
        ASSERT_EQ(told.rfind("stalled ", 0), 0u) << told;
        EXPECT_GE(std::stoul(told.substr(8)), 300u) << "the milliseconds since its last round";
        EXPECT_EQ(HostLogMarkOf("Port COM3 reader stalled for " + told.substr(8) + " ms"), '!')
            << "at level 3";
        if (c.RunsOn) {
            ASSERT_TRUE(Eventually([] { return gTimeline.Count() == 4; }));
            EXPECT_EQ(gTimeline.Codes()[2], "stalled 0");
            EXPECT_EQ(gTimeline.Codes()[3], "2") << "its codes after the word that it runs";
            EXPECT_TRUE(HasRecord("Port COM3 reader running again"));
            EXPECT_EQ(StatsOf(0).reader_stalled, 0u);
            EXPECT_EQ(StatsOf(0).reader_stalls, 1u) << "one episode";
        }
        ASSERT_EQ(DestroyDriverImpl(), 0) << "a held wait still ends with the stop";
        Line.HoldNaps = false;
        platform::SetTimings(previous);
    }
}
