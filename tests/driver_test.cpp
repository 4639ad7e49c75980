// The three exports end to end on fake devices: the table, delivery to the
// callback, the log records, and every refusal.
#include "driver/Testing.h"
#include "logging/Logger.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "support/driver_fixture.h"
#include "support/probed_driver.h"

#include <cinttypes>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>

using namespace belvor;
using namespace belvor::test;

namespace {

// What the second callback saw.
Collector gByQ;

void BELVOR_CALL RecordQ(const unsigned char* s)
{
    gByQ.Add(s);
}

class Exports : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        gByQ.Clear();
    }

    LiveFakeLine Line;
};

} // namespace

TEST_F(Exports, CodesReachTheCallbackAsCountedStringsAndAreLogged)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    const std::string log = LogFileName();
    ASSERT_FALSE(log.empty()) << "creating a driver names the log";
    Line.Feed("12AB\r\r0\r");
    ASSERT_TRUE(WaitCodes(3));
    EXPECT_EQ(gCodes.Calls(), (std::vector<std::string>{std::string("\x04"
                                                                    "12AB"),
                                                        std::string(1, '\0'), Counted("0")}));
    const std::string text = ReadAll(LogFileName());
    EXPECT_NE(text.find(" 12AB\r\n"), std::string::npos);
    bool emptyRecord = false; // "+ dd.mm hh:mm:ss " and nothing after the separating space
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        emptyRecord |= line.size() == 18 && line[0] == '+' && line[16] == ' ' && line[17] == '\r';
    EXPECT_TRUE(emptyRecord) << text;
    EXPECT_EQ(DestroyDriverImpl(), 0);
}

TEST_F(Exports, NullCallbackDropsCodesUntilOneIsSet)
{
    ASSERT_EQ(InitDriverImpl(3, nullptr), 0);
    Line.Feed("11\r");
    // The delivery thread's pass over 11 is over once it has counted it.
    ASSERT_TRUE(Eventually([&] { return DriverTable.Threads[0].load()->Passes() == 1; }));
    EXPECT_EQ(DriverTable.Drivers[0].load()->QueueCount(), 0u);
    EXPECT_EQ(SetEventProcImpl(&OnCode), nullptr);
    Line.Feed("22\r");
    ASSERT_TRUE(Eventually([&] { return DriverTable.Threads[0].load()->Passes() == 2; }));
    EXPECT_EQ(gCodes.Calls(), std::vector<std::string>{Counted("22")}) << "11 is not kept";
    EXPECT_EQ(ReadAll(LogFileName()).find(" 11\r\n"), std::string::npos) << "a dropped code is not logged";
}

TEST_F(Exports, SetEventProcSwapsReturnsAndLogsAddresses)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    EXPECT_EQ(SetEventProcImpl(&RecordQ), &OnCode);
    EXPECT_EQ(SetEventProcImpl(nullptr), &RecordQ);
    char expected[64];
    std::snprintf(expected, sizeof expected, "\xC0\xE4\xF0\xE5\xF1: %08" PRIXPTR " -> 00000000\r\n",
                  reinterpret_cast<uintptr_t>(&RecordQ));
    EXPECT_NE(ReadAll(LogFileName()).find(expected), std::string::npos) << expected;
}

TEST_F(Exports, AllDriversDeliverToTheLastCallbackAndDieNewestFirst)
{
    Line.DefaultPort = 4;
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    ASSERT_EQ(InitDriverImpl(4, &RecordQ), 1);
    Line.FeedPort(3, "33\r");
    Line.FeedPort(4, "44\r");
    ASSERT_TRUE(Eventually([&] { return gByQ.Calls().size() >= 2; }));
    auto byQ = gByQ.Calls();
    std::sort(byQ.begin(), byQ.end());
    EXPECT_EQ(byQ, (std::vector<std::string>{Counted("33"), Counted("44")}));
    EXPECT_EQ(gCodes.Count(), 0u);

    EXPECT_EQ(DestroyDriverImpl(), 1);
    EXPECT_EQ(DriverTable.Drivers[1].load(), nullptr);
    EXPECT_NE(DriverTable.Drivers[0].load(), nullptr) << "the older driver lives on";
    EXPECT_EQ(DestroyDriverImpl(), 0);
    EXPECT_EQ(DestroyDriverImpl(), -1) << "none live";
    EXPECT_EQ(platform::LastSystemError(), platform::SystemErrorCode(platform::ErrorKind::NoneLive));
}

TEST_F(Exports, TenDriversAndNotOneMore)
{
    for (int32_t i = 0; i < kMaxDrivers; ++i)
        ASSERT_EQ(InitDriverImpl(static_cast<uint32_t>(10 + i), &OnCode), i);
    const int opens = Line.Opens();
    EXPECT_EQ(InitDriverImpl(20, &OnCode), -1);
    EXPECT_EQ(platform::LastSystemError(), platform::SystemErrorCode(platform::ErrorKind::TooMany));
    EXPECT_EQ(Line.Opens(), opens) << "the eleventh port is not touched";
    for (int32_t i = 0; i < kMaxDrivers; ++i)
        Line.FeedPort(static_cast<uint16_t>(10 + i), std::to_string(i) + "\r");
    ASSERT_TRUE(WaitCodes(10));
    auto calls = gCodes.Calls();
    std::sort(calls.begin(), calls.end());
    for (int32_t i = 0; i < kMaxDrivers; ++i)
        EXPECT_EQ(calls[static_cast<size_t>(i)], Counted(std::to_string(i)));
    for (int32_t left = kMaxDrivers - 1; left >= 0; --left)
        EXPECT_EQ(DestroyDriverImpl(), left);
    EXPECT_EQ(Line.OpenDevices(), 0);
}

TEST_F(Exports, FailedInitLeavesTheTableAndSaysWhy)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    EXPECT_EQ(InitDriverImpl(0, &RecordQ), -1);
    EXPECT_EQ(platform::LastSystemError(), platform::SystemErrorCode(platform::ErrorKind::InvalidArgument));
    EXPECT_EQ(DriverTable.DriverCount, 1);
    EXPECT_NE(ReadAll(LogFileName()).find("Exception: Port COM0 not open\r\n"), std::string::npos);
    EXPECT_EQ(SetEventProcImpl(&OnCode), &RecordQ) << "the callback given still took effect";

    Line.FailOpen = true;
    Line.OpenError = 16;
    EXPECT_EQ(InitDriverImpl(5, &OnCode), -1);
    EXPECT_EQ(platform::LastSystemError(), 16u) << "the system's own reason";
    Line.FailOpen = false;
    EXPECT_EQ(InitDriverImpl(5, &OnCode), 1) << "the next driver gets the same index";
}

TEST_F(Exports, ThrowingCallbackIsLoggedAndDeliveryGoesOn)
{
    gHook.Set([](const unsigned char* s) {
        if (s[0] == 4)
            throw std::runtime_error("host failed");
    });
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Feed("BAD1\r12\r");
    ASSERT_TRUE(WaitCodes(2));
    EXPECT_EQ(gCodes.Calls()[1], Counted("12"));
    const std::string log = ReadAll(LogFileName());
    const size_t code = log.find(" BAD1\r\n");
    const size_t exception = log.find(" Exception: host failed\r\n");
    ASSERT_NE(code, std::string::npos);
    ASSERT_NE(exception, std::string::npos);
    EXPECT_LT(code, exception) << "the code's record comes first";
    EXPECT_EQ(DriverTable.Drivers[0].load()->QueueCount(), 0u);
}

TEST_F(Exports, DestroyFromInsideTheCallbackIsRefused)
{
    std::atomic<int32_t> result{0};
    gHook.Set([&](const unsigned char*) { result = DestroyDriverImpl(); });
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Feed("1\r");
    ASSERT_TRUE(WaitCodes(1));
    ASSERT_TRUE(Eventually([&] { return result.load() != 0; }));
    EXPECT_EQ(result.load(), -1);
    EXPECT_EQ(DriverTable.DriverCount, 1);
    gHook.Set(nullptr);
    Line.Feed("2\r");
    ASSERT_TRUE(WaitCodes(2)) << "the driver still works";
    EXPECT_EQ(gCodes.Calls()[1], Counted("2"));
}

TEST_F(Exports, SlowCallbackGetsQueuedCodesInOrder)
{
    gHook.Set([](const unsigned char*) { std::this_thread::sleep_for(std::chrono::milliseconds(20)); });
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    std::string burst;
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i) {
        burst += std::to_string(i) + "\r";
        expected.push_back(Counted(std::to_string(i)));
    }
    Line.Feed(burst);
    ASSERT_TRUE(WaitCodes(20));
    EXPECT_EQ(gCodes.Calls(), expected);
}

namespace {

// The texts of the last n records of the host's log, oldest first.
std::vector<std::string> LastRecords(size_t n)
{
    const std::string log = ReadAll(HostLogPath());
    std::vector<std::string> texts;
    size_t end = log.size();
    while (texts.size() < n && end > 2) {
        const size_t start = log.rfind("\r\n", end - 3);
        const size_t from = start == std::string::npos ? 0 : start + 2;
        // "+ dd.mm hh:mm:ss " comes before each record's text.
        texts.insert(texts.begin(), from + 17 <= end - 2 ? log.substr(from + 17, end - 2 - from - 17) : "");
        if (start == std::string::npos)
            break;
        end = start + 2;
    }
    return texts;
}

} // namespace

TEST_F(Exports, ABurstIsDeliveredWholeEachCodeLoggedBeforeItsCallbackAndQueuedUntilItReturns)
{
    WriteConfig("[Code]\r\nMaxLength=10\r\n");
    // Checked inside each callback, on the delivery thread; read here afterwards.
    std::mutex mutex;
    std::vector<std::string> faults;
    gHook.Set([&](const unsigned char* counted) {
        const std::string code(reinterpret_cast<const char*>(counted + 1), counted[0]);
        const bool cut = code.size() == 10;
        const std::vector<std::string> last = LastRecords(2);
        std::string fault;
        if (last.empty() || last.back() != code)
            fault = code + ": not the last record on disk";
        else if (cut != (last.size() == 2 && last[0] == "Code cut at 10 characters"))
            fault = code + ": cut record missing or out of place";
        else if (DriverTable.Drivers[0].load()->QueueCount() == 0)
            fault = code + ": left the queue before its callback returned";
        if (!fault.empty()) {
            std::lock_guard<std::mutex> guard(mutex);
            faults.push_back(fault);
        }
    });
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    // Several hundred codes in one feed: one wake per batch must still bring
    // every one of them, some cut to MaxLength, in order.
    std::string burst;
    std::vector<std::string> expected;
    for (int i = 0; i < 400; ++i) {
        const std::string code = std::to_string(1000 + i) + (i % 7 == 3 ? "0123456789" : "");
        burst += code + "\r";
        expected.push_back(Counted(code.substr(0, 10)));
    }
    Line.Feed(burst);
    // Each callback reads the log back: under valgrind, beside other tests, that takes seconds.
    ASSERT_TRUE(WaitCodes(expected.size(), 30000));
    EXPECT_EQ(gCodes.Calls(), expected);
    ASSERT_TRUE(Eventually([&] { return DriverTable.Drivers[0].load()->QueueCount() == 0; }));
    gHook.Set(nullptr);
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_EQ(faults, std::vector<std::string>{});
}

TEST_F(Exports, DestroyDropsWhatIsStillQueued)
{
    platform::Event entered(true), release(true);
    gHook.Set([&](const unsigned char*) {
        entered.Set();
        (void)release.Wait(5000);
    });
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Feed("1\r2\r3\r4\r");
    ASSERT_TRUE(entered.Wait(5000).ValueOr(false));
    ASSERT_TRUE(Eventually([&] { return DriverTable.Drivers[0].load()->QueueCount() == 4; }));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release.Set();
    });
    EXPECT_EQ(DestroyDriverImpl(), 0);
    releaser.join();
    EXPECT_EQ(gCodes.Count(), 1u) << "the pass under way finished; the rest was dropped";
}

TEST_F(Exports, DestroyRightAfterInitNeverHangs)
{
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
        if (i % 2)
            Line.Feed("5\r");
        ASSERT_EQ(DestroyDriverImpl(), 0);
    }
    EXPECT_EQ(Line.OpenDevices(), 0);
}

namespace {

// Touches about 1 MiB of stack, page by page from the top down, as a deep
// host callback (a UI toolkit, a script runtime) would.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
unsigned
UseStack(unsigned depth)
{
    volatile unsigned char block[64 * 1024];
    for (size_t i = sizeof block; i > 0;) {
        i -= 512;
        block[i] = static_cast<unsigned char>(depth);
    }
    const unsigned below = depth > 1 ? UseStack(depth - 1) : 0;
    return below + block[sizeof block - 512] + block[0];
}

} // namespace

TEST_F(Exports, CallbackMayUseAMegabyteOfStack)
{
    std::atomic<unsigned> used{0};
    gHook.Set([&](const unsigned char*) { used = UseStack(16); });
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Feed("1\r");
    ASSERT_TRUE(WaitCodes(1));
    ASSERT_TRUE(Eventually([&] { return used.load() != 0; }));
    EXPECT_EQ(DestroyDriverImpl(), 0);
}

TEST_F(Exports, StopInTheMiddleOfALongBurstNeverWaitsOutItsBound)
{
    const uint32_t late = platform::LateThreadStops();
    for (int round = 0; round < 4; ++round) {
        ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
        Line.Feed(std::string(8192, '\r'));
        // The worker has taken the whole burst out of the device and is cutting it up.
        ASSERT_TRUE(Eventually([&] { return Line.Waiting() == 0; }));
        ASSERT_EQ(DestroyDriverImpl(), 0);
        EXPECT_EQ(Line.OpenDevices(), 0);
    }
    EXPECT_EQ(platform::LateThreadStops(), late) << "a worker that was still working was given up on";
}

TEST(Stop, ABurstUnderWayEndsAtTheNextCode)
{
    LiveFakeLine line;
    ProbedDriver driver(3);
    platform::Event entered(true);
    driver.Probe = [&] {
        entered.Set();
        // Hold the worker at the start of the burst until the stop has begun.
        Eventually([&] { return driver.StopRequested(); }, 10000);
    };
    driver.StartReceiving();
    line.Feed(std::string(8192, '\r'));
    ASSERT_TRUE(entered.Wait(5000).ValueOr(false));
    const uint32_t late = platform::LateThreadStops();
    driver.Close();
    EXPECT_EQ(driver.QueueCount(), 0u) << "codes were still cut after the stop began";
    EXPECT_EQ(platform::LateThreadStops(), late);
    EXPECT_EQ(line.OpenDevices(), 0);
}
