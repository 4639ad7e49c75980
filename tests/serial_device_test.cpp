// The system's serial device over a real line: Linux ptys natively, Wine's
// COM ports (ptys underneath) for the Windows build.
#include "platform/serial_device.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "support/test_line.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>

using namespace belvor::platform;
using belvor::test::MakeRealLine;
using belvor::test::TestLine;

namespace {

// Bound for anything that must happen "soon" (bytes crossing the line).
constexpr auto kSoon = std::chrono::seconds(5);
// Bound for a call that must not block at all.
constexpr auto kAtOnce = std::chrono::milliseconds(800);

// Without the modem lines' watch, which Wine refuses on ptys.
constexpr RefusedWatches kLineWatches{.ModemLines = true};

// Every byte a line discipline or a driver might act on.
const std::string kAwkwardBytes("\r\n\0\xFF\x03\x04\x11\x13\x1A\x1C\x7F\x80\r\r\n\n x", 18);

using Clock = std::chrono::steady_clock;

class SerialDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FLine = MakeRealLine();
        ASSERT_NE(FLine, nullptr);
        FDevice = Open();
        ASSERT_NE(FDevice, nullptr);
        ASSERT_TRUE(FDevice->SetQueueSizes(4096, 4096));
        FDevice->Arm(kLineWatches);
        ASSERT_TRUE(Apply(9600, 8, 0, 1));
        // A line may be reused: what an earlier test left on it goes.
        ASSERT_TRUE(FDevice->DropInput());
    }

    // A look that found neither news nor a loss: a quiet line, or a wait still
    // under way (Wine ends a quiet wait with a code of its own, which fails the look).
    bool Quiet(const Result<LineSighting>& look)
    {
        if (look)
            return !look->News && look->Lost == 0;
        return FLine->QuietWaitEnding() != 0 && look.Error() == FLine->QuietWaitEnding();
    }

    std::unique_ptr<SerialDevice> Open()
    {
        auto device = OpenSystemSerialDevice(FLine->PortNumber());
        EXPECT_TRUE(device) << "COM" << FLine->PortNumber() << " error " << device.Error();
        return device ? std::move(*device) : nullptr;
    }

    bool Apply(uint32_t rate, uint8_t dataBits, uint8_t parity, uint8_t stopBits)
    {
        return static_cast<bool>(FDevice->Configure({rate, dataBits, parity, stopBits}));
    }

    LineConfig State()
    {
        const Result<LineConfig> config = FDevice->Settings();
        EXPECT_TRUE(config);
        return *config;
    }

    // Waits until at least `count` bytes wait in the device; returns how many do.
    uint32_t AwaitQueue(uint32_t count)
    {
        uint32_t waiting = 0;
        for (const auto end = Clock::now() + kSoon; Clock::now() < end; SleepMs(5)) {
            waiting = FDevice->Status().ValueOr({}).Waiting;
            if (waiting >= count)
                break;
        }
        return waiting;
    }

    std::string ReadUpTo(size_t count)
    {
        std::string got;
        uint8_t buffer[256];
        for (const auto end = Clock::now() + kSoon; got.size() < count && Clock::now() < end;) {
            const uint32_t n =
                FDevice->Read(buffer, static_cast<uint32_t>(std::min(sizeof buffer, count - got.size())))
                    .ValueOr(0);
            got.append(reinterpret_cast<const char*>(buffer), n);
            if (n == 0)
                SleepMs(5);
        }
        return got;
    }

    // Looks until there is news; false when there is none at the end.
    bool AwaitNews(LineNews& news)
    {
        for (const auto end = Clock::now() + kSoon; Clock::now() < end; SleepMs(5)) {
            const Result<LineSighting> look = FDevice->Look();
            if (look && look->News) {
                news = *look->News;
                return true;
            }
            EXPECT_TRUE(Quiet(look)) << look.Error();
        }
        return false;
    }

    // Takes news until a look finds none; false if none does.
    bool SettlesQuiet()
    {
        for (int i = 0; i < 5; ++i) {
            const Result<LineSighting> look = FDevice->Look();
            if (!look || !look->News)
                return Quiet(look);
            SleepMs(20);
        }
        return false;
    }

    // Sleeps until news as a worker does while `text` is sent from another
    // thread; true once a look has reported received bytes.
    bool SleepUntilBytes(const char* text)
    {
        Later send(nullptr, FLine.get(), text);
        bool sawBytes = false;
        for (const auto end = Clock::now() + kSoon; !sawBytes && Clock::now() < end;) {
            if (const Result<LineSighting> look = FDevice->Look(); look && look->News)
                sawBytes = look->News->BytesArrived;
            if (!sawBytes)
                FDevice->WaitForNews(60000);
        }
        return send.Done() && sawBytes;
    }
    // After 50 ms, on a thread of its own: sends text, or else wakes the device.
    class Later {
    public:
        Later(SerialDevice* device, TestLine* line, const char* text)
            : FDevice(device), FLine(line), FText(text)
        {
            EXPECT_TRUE(FThread.Start(&Run, this, 65536));
        }
        ~Later() { (void)Done(); }
        Later(const Later&) = delete;
        Later& operator=(const Later&) = delete;
        bool Done() { return FThread.Stop(5000); }

    private:
        static void Run(void* raw)
        {
            auto* self = static_cast<Later*>(raw);
            SleepMs(50);
            if (self->FText)
                (void)self->FLine->Send(self->FText);
            else
                self->FDevice->Wake();
        }
        SerialDevice* FDevice;
        TestLine* FLine;
        const char* FText;
        Thread FThread;
    };
    std::unique_ptr<TestLine> FLine;
    std::unique_ptr<SerialDevice> FDevice;
};

TEST_F(SerialDeviceTest, AQuietLineHasNothingToReadAndALookThatFindsNothing)
{
    const Result<InputState> state = FDevice->Status();
    ASSERT_TRUE(state);
    const uint32_t waiting = state->Waiting;
    EXPECT_EQ(waiting, 0u);
    EXPECT_FALSE(state->Errors.Any());

    uint8_t buffer[64];
    const auto start = Clock::now();
    EXPECT_EQ(FDevice->Read(buffer, sizeof buffer).ValueOr(0), 0u);
    EXPECT_LT(Clock::now() - start, kAtOnce) << "a read with nothing there must return at once";

    for (int i = 0; i < 20; ++i) {
        const auto before = Clock::now();
        const Result<LineSighting> look = FDevice->Look();
        EXPECT_LT(Clock::now() - before, kAtOnce);
        // Looking again while a wait goes on must not start a second one
        // (Windows would refuse it with another error).
        EXPECT_TRUE(Quiet(look)) << "look " << i << ": error " << look.Error();
        SleepMs(i % 4 == 0 ? 15 : 0);
    }
}

TEST_F(SerialDeviceTest, BytesPassUnchanged)
{
    ASSERT_TRUE(FLine->Send(kAwkwardBytes));
    EXPECT_EQ(AwaitQueue(static_cast<uint32_t>(kAwkwardBytes.size())), kAwkwardBytes.size());
    EXPECT_EQ(ReadUpTo(kAwkwardBytes.size()), kAwkwardBytes);
    const Result<InputState> state = FDevice->Status();
    ASSERT_TRUE(state);
    const uint32_t waiting = state->Waiting;
    EXPECT_EQ(waiting, 0u) << "bytes were added on the way (CR to CR LF?)";

    // Parity and two stop bits on the line, parity not checked: still untouched.
    ASSERT_TRUE(Apply(19200, 8, 2, 2));
    ASSERT_TRUE(FLine->Send(kAwkwardBytes));
    EXPECT_EQ(ReadUpTo(kAwkwardBytes.size()), kAwkwardBytes);
}

TEST_F(SerialDeviceTest, ReadStoresNoMoreThanAskedAndLeavesTheRest)
{
    const std::string bytes = "0123456789ABCDEF";
    ASSERT_TRUE(FLine->Send(bytes));
    ASSERT_EQ(AwaitQueue(16), 16u);

    uint8_t buffer[32] = {};
    buffer[4] = 0xEE;
    ASSERT_EQ(FDevice->Read(buffer, 4).ValueOr(0), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "0123");
    EXPECT_EQ(buffer[4], 0xEE) << "stored past the size asked for";

    const Result<InputState> state = FDevice->Status();
    ASSERT_TRUE(state);
    const uint32_t waiting = state->Waiting;
    EXPECT_EQ(waiting, 12u);
    const auto start = Clock::now();
    EXPECT_EQ(FDevice->Read(buffer, sizeof buffer).ValueOr(0), 12u)
        << "asks for more than waits: gets what is there";
    EXPECT_LT(Clock::now() - start, kAtOnce);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 12), "456789ABCDEF");
    EXPECT_EQ(FDevice->Read(buffer, sizeof buffer).ValueOr(0), 0u);
}

TEST_F(SerialDeviceTest, ALookReportsReceivedBytesAndOnlyThen)
{
    ASSERT_TRUE(Quiet(FDevice->Look()));

    LineNews news;
    ASSERT_TRUE(FLine->Send("abc\r"));
    ASSERT_TRUE(AwaitNews(news)) << "bytes arrived but no look reported them";
    EXPECT_TRUE(news.BytesArrived);
    EXPECT_FALSE(news.LineTrouble) << "a clean line reported trouble";

    EXPECT_EQ(AwaitQueue(4), 4u);
    EXPECT_EQ(ReadUpTo(4), "abc\r");
    EXPECT_TRUE(SettlesQuiet()) << "with nothing left to read the looks must find nothing";
}

TEST_F(SerialDeviceTest, SettingsChangedFromAnotherThreadWhileLooking)
{
    // The host's setters run on its own thread while the worker looks: the
    // two must not trip over each other.
    struct Shared {
        SerialDevice* Device;
        std::atomic<bool> Stop{false};
        std::atomic<int> Calls{0};
    } shared{FDevice.get()};
    Thread changer;
    ASSERT_TRUE(changer.Start(
        [](void* raw) {
            auto* s = static_cast<Shared*>(raw);
            while (!s->Stop.load()) {
                (void)s->Device->Configure({9600, 8, 0, s->Calls.fetch_add(1) % 2 ? 1 : 2});
                SleepMs(1);
            }
        },
        &shared, 65536));
    // The changes are under way before the bytes come, so that the looks meet them.
    const auto changing = Clock::now() + kSoon;
    while (shared.Calls.load() == 0 && Clock::now() < changing)
        SleepMs(1);
    ASSERT_GT(shared.Calls.load(), 0);

    ASSERT_TRUE(FLine->Send("q"));
    bool sawBytes = false;
    for (const auto end = Clock::now() + kSoon; !sawBytes && Clock::now() < end; SleepMs(2)) {
        const Result<LineSighting> look = FDevice->Look();
        if (look && look->News)
            sawBytes = look->News->BytesArrived;
        else
            EXPECT_TRUE(Quiet(look)) << look.Error();
    }
    shared.Stop = true;
    EXPECT_TRUE(changer.Stop(5000));
    EXPECT_TRUE(sawBytes);
}

TEST_F(SerialDeviceTest, DropInputDropsWaitingBytes)
{
    ASSERT_TRUE(FLine->Send("to be dropped"));
    ASSERT_EQ(AwaitQueue(13), 13u);

    ASSERT_TRUE(FDevice->DropInput());
    const Result<InputState> state = FDevice->Status();
    ASSERT_TRUE(state);
    const uint32_t waiting = state->Waiting;
    EXPECT_EQ(waiting, 0u);
    uint8_t buffer[32];
    EXPECT_EQ(FDevice->Read(buffer, sizeof buffer).ValueOr(0), 0u);

    // The line still works afterwards.
    ASSERT_TRUE(FLine->Send("kept"));
    EXPECT_EQ(ReadUpTo(4), "kept");
}

TEST_F(SerialDeviceTest, SettingsRoundTripAndAbsentFieldsKeepTheirs)
{
    struct Case {
        uint32_t Rate;
        uint8_t Size;
        uint8_t Parity;
        uint8_t Stop;
    };
    for (const Case c :
         {Case{9600, 8, 0, 1}, Case{19200, 7, 2, 2}, Case{1200, 8, 1, 1}, Case{115200, 6, 0, 2},
          Case{4800, 7, 3, 1}, Case{2400, 7, 4, 1}, Case{9600, 5, 0, 1}}) {
        SCOPED_TRACE(testing::Message()
                     << c.Rate << "/" << int(c.Size) << "/" << int(c.Parity) << "/" << int(c.Stop));
        ASSERT_TRUE(Apply(c.Rate, c.Size, c.Parity, c.Stop));
        // Nothing asked: the line stays as it is (where it reads back as set:
        // Wine reads a pty's parity back as no setting it takes).
        ASSERT_TRUE(!FLine->ReadsBackAsSet() || FDevice->Configure({}));
        const LineConfig got = State();
        EXPECT_EQ(got.BaudRate, c.Rate);
        EXPECT_EQ(got.StopBits, c.Stop);
        if (FLine->ReadsBackAsSet()) {
            EXPECT_EQ(got.DataBits, c.Size);
            EXPECT_EQ(got.Parity, c.Parity);
        }
    }
    ASSERT_TRUE(FDevice->Configure({.StopBits = 1}));
    const LineConfig got = State();
    EXPECT_TRUE(got.BaudRate == 9600u && got.StopBits == 1);
}

TEST_F(SerialDeviceTest, ARateWithoutAStandardNumberIsAppliedOrRefusedCleanly)
{
    ASSERT_TRUE(Apply(9600, 8, 0, 1));
    if (const Result<> set = FDevice->Configure({.BaudRate = 5760})) {
        if (FLine->ReadsBackAsSet()) {
            EXPECT_EQ(State().BaudRate, 5760u) << "accepted, so it must be in force";
        }
    } else {
        EXPECT_NE(set.Error(), 0u);
        EXPECT_EQ(State().BaudRate, 9600u) << "refused, so the old rate must stay";
    }
    // Either way the line is still usable at a standard rate.
    ASSERT_TRUE(Apply(9600, 8, 0, 1));
    ASSERT_TRUE(FLine->Send("ok"));
    EXPECT_EQ(ReadUpTo(2), "ok");
}

TEST_F(SerialDeviceTest, SettingsTheLineCannotHaveAreRefused)
{
    ASSERT_TRUE(Apply(9600, 8, 0, 1));
    const LineConfig before = State();
    for (const LineConfig asked :
         {LineConfig{.DataBits = 4}, LineConfig{.DataBits = 9}, LineConfig{.Parity = 5}}) {
        const Result<> set = FDevice->Configure(asked);
        EXPECT_FALSE(set);
        EXPECT_NE(set.Error(), 0u);
    }
    const LineConfig after = State();
    EXPECT_EQ(after.BaudRate, before.BaudRate);
    EXPECT_EQ(after.DataBits, before.DataBits);
    EXPECT_EQ(after.Parity, before.Parity);
    EXPECT_EQ(after.StopBits, before.StopBits);
}

TEST_F(SerialDeviceTest, ASecondOpenIsRefusedUntilTheFirstCloses)
{
    if (!FLine->RefusesSecondOpen())
        GTEST_SKIP() << "this line's system opens a port a second time without complaint (Wine does)";
    const OpenedDevice second = OpenSystemSerialDevice(FLine->PortNumber());
    EXPECT_FALSE(second);
    EXPECT_NE(second.Error(), 0u);
    // The refused opener must not have disturbed the first one.
    EXPECT_FALSE(OpenSystemSerialDevice(FLine->PortNumber()));
    ASSERT_TRUE(FLine->Send("first"));
    EXPECT_EQ(ReadUpTo(5), "first");

    FDevice.reset();
    FDevice = Open();
    ASSERT_NE(FDevice, nullptr);
}

TEST_F(SerialDeviceTest, ClosingWithAWaitInFlightLeavesThePortUsable)
{
    ASSERT_TRUE(Quiet(FDevice->Look()));
    FDevice.reset();

    FDevice = Open();
    ASSERT_NE(FDevice, nullptr);
    FDevice->Arm(kLineWatches);
    ASSERT_TRUE(Apply(9600, 8, 0, 1));
    ASSERT_TRUE(FLine->Send("again"));
    LineNews news;
    ASSERT_TRUE(AwaitNews(news));
    EXPECT_TRUE(news.BytesArrived);
    EXPECT_EQ(ReadUpTo(5), "again");
}

} // namespace

TEST_F(SerialDeviceTest, ASleepUntilNewsEndsOnBytesOnAWakeAndOnAWakeGivenBefore)
{
    // Nothing but news may end these sleeps within kSoon: their own bound is a minute.
    constexpr uint32_t kLong = 60000;
    const auto sleepsBriefly = [&] {
        (void)FDevice->Look();
        const auto start = Clock::now();
        FDevice->WaitForNews(kLong);
        return Clock::now() - start < kSoon;
    };

    FDevice->Wake();
    EXPECT_TRUE(sleepsBriefly()) << "a wake given before the sleep is kept for it";

    Later wake(FDevice.get(), FLine.get(), nullptr);
    EXPECT_TRUE(sleepsBriefly()) << "a wake from another thread ends the sleep";
    ASSERT_TRUE(wake.Done());

    EXPECT_TRUE(SleepUntilBytes("n")) << "bytes arriving end the sleep";
    EXPECT_EQ(ReadUpTo(1), "n");
}

TEST_F(SerialDeviceTest, BytesThatEndASleepStayTheLinesCountedInOrderAndPurgeable)
{
    // Where waits end by themselves (Wine on a pty) the device sleeps on a
    // read of its own, which takes the first byte out of the line.
    ASSERT_TRUE(SleepUntilBytes("abc"));
    EXPECT_EQ(AwaitQueue(3), 3u) << "the byte that ended the sleep is counted as waiting";
    EXPECT_EQ(ReadUpTo(3), "abc");

    ASSERT_TRUE(SleepUntilBytes("de"));
    EXPECT_EQ(AwaitQueue(2), 2u);
    ASSERT_TRUE(FDevice->DropInput());
    const Result<InputState> state = FDevice->Status();
    ASSERT_TRUE(state);
    const uint32_t waiting = state->Waiting;
    EXPECT_EQ(waiting, 0u) << "dropping the input drops it with the rest";
    ASSERT_TRUE(FLine->Send("f"));
    EXPECT_EQ(ReadUpTo(1), "f");
}
