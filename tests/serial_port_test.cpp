// The port object on a fake device: settings, failures, the ring and the
// receive step with exact positions, the worker's dispatch.
#include "support/device_faults.h"
#include "support/fake_serial_device.h"
#include "support/test_port.h"

#include <gtest/gtest.h>

using namespace belvor;
using namespace belvor::test;
using platform::LineConfig;

namespace {

class SerialPort : public ::testing::Test {
protected:
    FakeLine Line; // LiveEvents off: the test runs the receive step itself
};

// Brings the ring to W = R = pos by passing pos bytes through it.
void MoveRingTo(FakeLine& line, TestPort& port, uint16_t pos)
{
    if (pos == 0)
        return;
    line.Feed(std::string(pos, 'x'));
    port.ReceiveData();
}

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>(i * 7 + 3);
    return s;
}

} // namespace

TEST_F(SerialPort, NewPortAppliesItsDefaultsOnOpen)
{
    Line.State = {115200, 7, 2, 2};
    TestPort port(3);
    EXPECT_EQ(port.BaudRate(), 5760u);
    EXPECT_EQ(port.DataBits(), 8);
    EXPECT_EQ(port.StopBits(), 1);
    EXPECT_EQ(port.Parity(), 0);
    EXPECT_EQ(Line.QueueIn, 4096u);
    EXPECT_EQ(Line.QueueOut, 4096u);
    const auto configs = Line.Configs();
    ASSERT_EQ(configs.size(), 1u);
    EXPECT_EQ(configs[0].BaudRate, 5760u);
    EXPECT_EQ(configs[0].DataBits, 8);
    EXPECT_EQ(configs[0].Parity, 0);
    EXPECT_EQ(configs[0].StopBits, 1);
}

TEST_F(SerialPort, ClosedPortOnlyStoresAndRefusesToRead)
{
    TestPort port(0);
    EXPECT_FALSE(port.Opened());
    EXPECT_EQ(Line.Opens(), 0);
    port.SetBaudRate(9600);
    EXPECT_EQ(port.BaudRate(), 9600u);
    EXPECT_TRUE(Line.Configs().empty());
    try {
        port.ReadChar();
        FAIL() << "ReadChar on a closed port must raise";
    } catch (const EPortNotOpen& e) {
        EXPECT_STREQ(e.what(), "Port COM0 not open");
    }
    EXPECT_THROW(port.Purge(), EPortNotOpen);
}

TEST_F(SerialPort, StopBitsAreNormalisedToOneOrTwo)
{
    TestPort port(3);
    const struct {
        uint8_t Value;
        uint8_t Expected;
    } cases[] = {{0, 1}, {1, 1}, {2, 2}, {7, 2}, {255, 2}};
    for (const auto& c : cases) {
        port.SetStopBits(c.Value);
        EXPECT_EQ(Line.CurrentState().StopBits, c.Expected) << "SetStopBits(" << int(c.Value) << ")";
    }
    Line.State.StopBits = 15; // the device's own one-and-a-half
    port.SetStopBits(3);
    EXPECT_EQ(Line.CurrentState().StopBits, 15) << "3 keeps the device's value";
}

TEST_F(SerialPort, KeepValuesLeaveTheDeviceAloneButStillConfigureIt)
{
    TestPort port(3);
    Line.State = {19200, 7, 2, 2};
    port.SetParity(5);
    port.SetDataBits(9);
    port.SetBaudRate(0);
    const auto configs = Line.Configs();
    ASSERT_EQ(configs.size(), 4u) << "every setter configures, keep values included";
    for (size_t i = 1; i < configs.size(); ++i) {
        EXPECT_FALSE(configs[i].BaudRate || configs[i].DataBits || configs[i].Parity || configs[i].StopBits)
            << "setter " << i << " asked for a value it keeps";
    }
    port.SetParity(4);
    EXPECT_EQ(Line.CurrentState().Parity, 4);
}

TEST_F(SerialPort, RefusedSettingRaisesAndStaysInItsField)
{
    TestPort port(12);
    Line.RefuseConfigure = true;
    try {
        port.SetBaudRate(1234);
        FAIL() << "a refused setting must raise";
    } catch (const ENotSupported& e) {
        EXPECT_STREQ(e.what(), "Parameter not supported for COM12");
        EXPECT_EQ(e.NativeError(), kFakeRefusal);
    }
    EXPECT_EQ(port.BaudRate(), 1234u);
}

TEST_F(SerialPort, FailedOpensReleaseEverythingAndSayWhy)
{
    Line.FailOpen = true;
    Line.OpenError = 5;
    try {
        TestPort port(9);
        FAIL() << "construction must fail";
    } catch (const EOpenPortFail& e) {
        EXPECT_EQ(e.Message(), "\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xEE\xF2\xEA\xF0\xFB\xF2\xFC COM9");
        EXPECT_EQ(e.NativeError(), 5u);
    }
    Line.FailOpen = false;

    Line.RefuseQueueSizes = true;
    EXPECT_THROW(
        {
            try {
                TestPort port(9);
            } catch (const ENotSupported& e) {
                EXPECT_STREQ(e.what(), "Setup parameter not supported for COM9");
                throw;
            }
        },
        ENotSupported);
    EXPECT_EQ(Line.OpenDevices(), 0) << "the device is closed again";
    Line.RefuseQueueSizes = false;

    Line.RefuseConfigure = true;
    EXPECT_THROW(TestPort port(9), ENotSupported);
    EXPECT_EQ(Line.OpenDevices(), 0);
    const auto calls = Line.Calls();
    EXPECT_EQ(calls.back(), "Close");

    // So does one that ran before: its second stop without a run between is no fault of its own.
    Line.RefuseConfigure = false;
    TestPort again(9);
    again.Close();
    Line.RefuseConfigure = true;
    EXPECT_THROW(again.Open(), ENotSupported);
    EXPECT_EQ(Line.OpenDevices(), 0);
}

TEST_F(SerialPort, ReadingAnEmptyRingRaisesAndChangesNothing)
{
    TestPort port(3);
    MoveRingTo(Line, port, 100);
    const auto before = port.Ring();
    try {
        port.ReadChar();
        FAIL() << "an empty ring must raise";
    } catch (const EBufferIsEmpty& e) {
        EXPECT_STREQ(e.what(), "Buffer is empty for port COM3");
    }
    const auto after = port.Ring();
    EXPECT_EQ(after.WritePos, before.WritePos);
    EXPECT_EQ(after.ReadPos, before.ReadPos);
    EXPECT_FALSE(after.Full);
}

TEST_F(SerialPort, FullRingPeeksReadsAndWraps)
{
    TestPort port(3);
    port.Take = [](int32_t) { return 0; };
    MoveRingTo(Line, port, 0);
    const std::string data = Pattern(10000);
    Line.Feed(data);
    port.ReceiveData();
    auto ring = port.Ring();
    EXPECT_TRUE(ring.Full);
    EXPECT_EQ(ring.WritePos, 0);
    EXPECT_EQ(Line.Waiting(), 10000u - 8192u) << "the rest stays in the device";
    EXPECT_EQ(port.Peek(8192), static_cast<uint8_t>(data[8191])) << "the newest unread byte";
    EXPECT_THROW(port.Peek(8193), EBufferIsEmpty);
    EXPECT_THROW(port.Peek(0), EBufferIsEmpty) << "index 0 names no byte";

    EXPECT_EQ(port.ReadChar(), static_cast<uint8_t>(data[0]));
    ring = port.Ring();
    EXPECT_FALSE(ring.Full);
    EXPECT_EQ(port.Peek(8191), static_cast<uint8_t>(data[8191]));
    EXPECT_THROW(port.Peek(8192), EBufferIsEmpty);

    // Read up to the end of the ring: the read position wraps to 0.
    for (int i = 1; i < 8192; ++i)
        ASSERT_EQ(port.ReadChar(), static_cast<uint8_t>(data[i]));
    EXPECT_EQ(port.Ring().ReadPos, 0);
    EXPECT_THROW(port.ReadChar(), EBufferIsEmpty);
}

TEST_F(SerialPort, ReceiveStepSplitsAtTheRingEnd)
{
    struct Case {
        uint16_t Read, Write; // positions before the step (set up through the ring)
        uint32_t Waiting;
        std::vector<std::pair<uint32_t, uint32_t>> Reads; // position, size asked
        int32_t Count;
        uint16_t WriteAfter;
        bool Full;
    };
    const Case cases[] = {
        {8000, 8000, 500, {{8000, 192}, {0, 308}}, 500, 308, false},
        {0, 0, 10000, {{0, 8192}}, 8192, 0, true},
        {100, 100, 9000, {{100, 8092}, {0, 100}}, 8192, 100, true},
        {50, 8100, 300, {{8100, 92}, {0, 50}}, 142, 50, true},
        {5000, 1000, 100, {{1000, 4000}}, 100, 1100, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("R=" + std::to_string(c.Read) + " W=" + std::to_string(c.Write));
        FakeLine line;
        TestPort port(3);
        // Fill to the write position, leaving the read position where asked.
        if (c.Write > c.Read) {
            MoveRingTo(line, port, c.Read);
            port.Take = [](int32_t) { return 0; };
            line.Feed(std::string(c.Write - c.Read, 'y'));
            port.ReceiveData();
        } else if (c.Write < c.Read) {
            MoveRingTo(line, port, c.Write);
            port.Take = [](int32_t) { return 0; };
            line.Feed(std::string(8192 - c.Write, 'y'));
            port.ReceiveData(); // W wraps to 0
            port.Take = [](int32_t n) { return n; };
            for (int i = 0; i < c.Read - c.Write; ++i)
                port.ReadChar();
            line.Feed(std::string(c.Write, 'y'));
            port.Take = [](int32_t) { return 0; };
            port.ReceiveData();
        } else {
            MoveRingTo(line, port, c.Read);
            port.Take = [](int32_t) { return 0; };
        }
        ASSERT_EQ(port.Ring().ReadPos, c.Read);
        ASSERT_EQ(port.Ring().WritePos, c.Write);
        const size_t before = line.Reads().size();
        const size_t countsBefore = port.Counts().size();

        line.Feed(Pattern(c.Waiting));
        port.ReceiveData();

        const auto reads = line.Reads();
        ASSERT_EQ(reads.size() - before, c.Reads.size());
        for (size_t i = 0; i < c.Reads.size(); ++i) {
            EXPECT_EQ(reads[before + i].Dest - port.RxBuffer(), c.Reads[i].first);
            EXPECT_EQ(reads[before + i].Size, c.Reads[i].second);
        }
        const auto counts = port.Counts();
        ASSERT_EQ(counts.size(), countsBefore + 1);
        EXPECT_EQ(counts.back(), c.Count);
        EXPECT_EQ(port.Ring().WritePos, c.WriteAfter);
        EXPECT_EQ(port.Ring().Full, c.Full);
        EXPECT_EQ(line.Waiting(), c.Waiting - static_cast<uint32_t>(c.Count));
    }
}

TEST_F(SerialPort, ReceiveStepReadsNothingWhenFullOrQuiet)
{
    TestPort port(3);
    port.Take = [](int32_t) { return 0; };
    port.ReceiveData(); // nothing waiting
    EXPECT_TRUE(Line.Reads().empty());
    EXPECT_TRUE(port.Counts().empty());

    Line.Feed(std::string(8192, 'z'));
    port.ReceiveData();
    ASSERT_TRUE(port.Ring().Full);
    Line.Feed("more");
    const size_t reads = Line.Reads().size();
    port.ReceiveData();
    EXPECT_EQ(Line.Reads().size(), reads) << "a full ring reads nothing";
    EXPECT_EQ(port.Counts().size(), 1u) << "and tells nobody";
}

TEST_F(SerialPort, ShortFirstReadNeverWritesPastTheRingEnd)
{
    TestPort port(3);
    MoveRingTo(Line, port, 8000);
    Line.ReadLimit = 100; // the device hands out less than it said was waiting
    Line.Feed(Pattern(500));
    port.ReceiveData();
    const auto reads = Line.Reads();
    ASSERT_EQ(reads.back().Dest - port.RxBuffer(), 8000);
    EXPECT_EQ(reads.back().Stored, 100u);
    EXPECT_EQ(port.Ring().WritePos, 8100) << "no second read from an unwrapped position";
    EXPECT_EQ(port.Counts().back(), 100);
    EXPECT_EQ(port.Received().substr(port.Received().size() - 100), Pattern(100));
}

TEST_F(SerialPort, BytesALateReadOwesAreFetchedWithNothingWaiting)
{
    TestPort port(3);
    MoveRingTo(Line, port, 40);
    Line.Owe("12\r"); // they left the device's queue: nothing counts as waiting
    port.ReceiveData();
    const auto reads = Line.Reads();
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.back().Dest - port.RxBuffer(), 40) << "asked for where they already are";
    EXPECT_EQ(port.Counts().back(), 3);
    EXPECT_EQ(port.Received().substr(40), "12\r");
    const size_t calls = port.Counts().size();
    port.ReceiveData();
    EXPECT_EQ(port.Counts().size(), calls) << "nothing owed, nothing waiting: no call";
}

TEST_F(SerialPort, AFailedCallEndsTheReceiveStepWithNothingMoreReadAndTheNextGoesOn)
{
    const struct {
        const char* Call;
        uint32_t Nth;
        int32_t Count; // handed over in the failing step
    } cases[] = {{"Status", 1, 0}, {"Read", 1, 0}, {"Read", 2, 192}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Call) + " " + std::to_string(c.Nth));
        FakeLine line;
        DeviceFaults faults;
        TestPort port(3);
        MoveRingTo(line, port, 8000);
        line.Feed(Pattern(500));
        const size_t reads = line.Reads().size();
        faults.Arm(c.Nth, FaultScope::Reception, c.Call);
        EXPECT_FALSE(port.ReceiveData());
        EXPECT_EQ(faults.Failed(), c.Call);
        EXPECT_EQ(line.Reads().size() - reads, c.Nth - 1) << "no read after the failure";
        EXPECT_EQ(port.Counts().size() - 1, c.Count != 0 ? 1u : 0u);
        EXPECT_EQ(line.Waiting(), 500u - static_cast<uint32_t>(c.Count));
        EXPECT_TRUE(port.ReceiveData());
        EXPECT_EQ(port.Received().substr(8000), Pattern(500)) << "the rest follows in order";
    }
}

TEST_F(SerialPort, AFailedCallMakesTheNextRoundPollNotSleep)
{
    Line.LiveEvents = true;
    Line.HoldNaps = true; // a sleep until news would last until the close
    DeviceFaults faults;
    Line.Feed("ab");
    TestPort port(3, /*enable=*/false);
    port.SetWakeOnEvent(true);
    faults.Arm(1, FaultScope::Reception, "Status");
    port.EnableDataReceived();
    ASSERT_TRUE(port.WaitForBytes(2)) << "the round after the failed status slept";
    EXPECT_EQ(faults.Failed(), "Status");
    EXPECT_EQ(port.Received(), "ab");
}

TEST_F(SerialPort, WatchesALostLineRefusedStayUnaskedForTheNextLine)
{
    Line.Refuse.ModemLines = true;
    const platform::Timings timings = platform::SetTimings({.ReopenIntervalMs = 10});
    {
        TestPort port(3);
        Line.Unplug(5);
        Line.PlugBack();
        ASSERT_TRUE(Eventually([&] { return Line.Arms().size() == 2; }));
    }
    platform::SetTimings(timings);
    EXPECT_EQ(Line.Arms(), (std::vector<platform::RefusedWatches>{{}, {.ModemLines = true}}));
}

TEST_F(SerialPort, PurgeDropsUnreadBytesAndTheDevicesQueue)
{
    TestPort port(3);
    port.Take = [](int32_t) { return 0; };
    Line.Feed(std::string(300, 'p'));
    port.ReceiveData();
    Line.Feed("still in the device");
    port.Purge();
    const auto ring = port.Ring();
    EXPECT_EQ(ring.WritePos, 300);
    EXPECT_EQ(ring.ReadPos, 300);
    EXPECT_EQ(Line.Waiting(), 0u);
    EXPECT_EQ(Line.Calls().back(), "DropInput");
    EXPECT_THROW(port.ReadChar(), EBufferIsEmpty);
}

TEST_F(SerialPort, WorkerClearsLineErrorsBeforeReceiving)
{
    TestPort port(3);
    Line.Feed("AB");
    Line.ScriptLook({true, {true, true}});
    ASSERT_TRUE(port.WaitForBytes(2));
    const auto calls = Line.Calls();
    const auto wait = std::find(calls.begin(), calls.end(), "Look");
    ASSERT_NE(wait, calls.end());
    const auto read = std::find(wait, calls.end(), "Read");
    ASSERT_NE(read, calls.end());
    EXPECT_GE(std::count(wait, read, std::string("Status")), 2)
        << "one for the line trouble, one for the bytes waiting";
    EXPECT_EQ(port.Received(), "AB");
}

TEST_F(SerialPort, NothingReachesAnOwnerThatIsNotReady)
{
    Line.LiveEvents = true;
    TestPort port(3, /*enable=*/false);
    Line.Feed("early");
    ASSERT_TRUE(Line.Idle(3)) << "the worker runs its cycles";
    EXPECT_TRUE(port.Counts().empty());
    EXPECT_TRUE(Line.Reads().empty()) << "the bytes wait in the device";
    port.EnableDataReceived();
    ASSERT_TRUE(port.WaitForBytes(5));
    EXPECT_EQ(port.Received(), "early");
}

TEST_F(SerialPort, CloseLetsAWorkerInsideDataReceivedFinish)
{
    Line.LiveEvents = true;
    TestPort port(3);
    platform::Event entered(true);
    std::atomic<int> finished{0};
    port.OnDataReceived = [&] {
        entered.Set();
        // Held here until Close has begun; then it takes the bytes out.
        Eventually([&] { return port.StopRequested(); }, 10000);
    };
    port.Take = [&](int32_t n) {
        ++finished;
        return n;
    };
    Line.Feed("xyz");
    ASSERT_TRUE(entered.Wait(5000).ValueOr(false));
    port.Close(); // the worker needs the port's lock for ReadChar while Close runs
    EXPECT_EQ(finished.load(), 1);
    EXPECT_EQ(port.Received(), "xyz") << "its reads succeeded: it was not cut off";
    EXPECT_FALSE(port.Opened());
    EXPECT_EQ(Line.OpenDevices(), 0);
}

TEST_F(SerialPort, BytesLeftByAThrowingOwnerAreAnnouncedAgainInOrder)
{
    TestPort port(3);
    int calls = 0;
    port.Take = [&](int32_t n) {
        // The first call takes two bytes of the five, then fails.
        if (++calls == 1) {
            port.ReadChar();
            port.ReadChar();
            throw std::runtime_error("owner failed");
        }
        return n;
    };
    Line.Feed("12AB\r");
    EXPECT_THROW(port.ReceiveData(), std::runtime_error);
    port.ReceiveData(); // nothing new in the device: only the three left behind
    EXPECT_EQ(port.Counts(), (std::vector<int32_t>{3}));
    EXPECT_EQ(port.Received(), "AB\r") << "the bytes after the two taken, with the CR, at once";
    Line.Feed("9\r");
    port.ReceiveData();
    EXPECT_EQ(port.Counts(), (std::vector<int32_t>{3, 2})) << "later counts are the new bytes only";
    EXPECT_EQ(port.Received(), "AB\r9\r");
    port.ReceiveData();
    EXPECT_EQ(port.Counts().size(), 2u) << "announced once more, not for ever";

    // A ring the throw left full is announced again too, though nothing can be read.
    calls = 0;
    Line.Feed(Pattern(8192));
    port.Take = [&](int32_t) -> int32_t {
        if (++calls == 1)
            throw std::runtime_error("owner failed");
        return 8192;
    };
    EXPECT_THROW(port.ReceiveData(), std::runtime_error);
    ASSERT_TRUE(port.Ring().Full);
    port.ReceiveData();
    EXPECT_EQ(port.Counts().back(), 8192);
    EXPECT_EQ(port.Received().substr(port.Received().size() - 8192), Pattern(8192));
}

TEST_F(SerialPort, WorkerSurvivesAnOwnerThatThrows)
{
    Line.LiveEvents = true;
    TestPort port(3);
    std::atomic<int> calls{0};
    port.OnDataReceived = [&] {
        if (calls++ == 0)
            throw std::runtime_error("owner failed");
    };
    Line.Feed("1\r");
    // No further byte comes: what the failed call left must still arrive.
    ASSERT_TRUE(port.WaitForBytes(2));
    EXPECT_EQ(port.Received(), "1\r");
    Line.Feed("2\r");
    ASSERT_TRUE(port.WaitForBytes(4)) << "reception goes on after the throw";
    EXPECT_EQ(port.Received(), "1\r2\r");
}

TEST_F(SerialPort, EventModeMakesOneCycleForEachNewsAndNoneWhenQuiet)
{
    Line.LiveEvents = true;
    TestPort port(3);
    port.SetWakeOnEvent(true);
    Line.Feed("ab");
    ASSERT_TRUE(port.WaitForBytes(2));
    ASSERT_TRUE(Line.Idle(1000000)) << "asleep until news";
    const int cycles = Line.Looks();
    Line.Feed("c");
    ASSERT_TRUE(port.WaitForBytes(3));
    ASSERT_TRUE(Line.Idle(1000000));
    EXPECT_EQ(Line.Looks(), cycles + 1) << "one cycle for the news, none while quiet";
    EXPECT_EQ(port.Received(), "abc");
}
