// Fault simulation at the device and thread seams: every call that creating a
// driver makes fails in turn, then calls of the receive cycle do; after each
// run the same invariants are checked. The table and the older driver stay as
// they were, nothing is left open, the host learns why, and no code is lost.
#include "driver/Testing.h"
#include "logging/Logger.h"
#include "platform/errors.h"
#include "platform/sync.h"
#include "support/device_faults.h"
#include "support/driver_fixture.h"
#include "support/process_census.h"

#include <gtest/gtest.h>
#include <set>

using namespace belvor;
using namespace belvor::test;

namespace {

std::vector<std::string> Codes()
{
    return gCodes.Codes();
}

std::string LogText()
{
    return ReadAll(LogFileName());
}

class FaultSweep : public DriverTest {
protected:
    FaultSweep() : DriverTest({.Bound = std::chrono::seconds(120)}) {}
    // A code sent on the port arrives, whole.
    void ExpectReceives(uint16_t port, const std::string& code)
    {
        const size_t before = Codes().size();
        Line.FeedPort(port, code + "\r");
        ASSERT_TRUE(Eventually([&] { return Codes().size() > before; })) << code;
        EXPECT_EQ(Codes().back(), code);
    }

    LiveFakeLine Line;
    DeviceFaults Faults; // over the fake line's devices
};

} // namespace

TEST_F(FaultSweep, EveryFailingCallOfInitDriverLeavesNothingBehind)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0) << "an older driver, which must not notice";
    {
        // Once before counting, what is made the first time and kept: on
        // Windows gtest starts a thread for the first SCOPED_TRACE of a thread.
        SCOPED_TRACE("a first refusal");
        Faults.Arm(1, FaultScope::Setup);
        ASSERT_EQ(InitDriverImpl(4, &OnCode), -1);
        ASSERT_NE(LogText().find("Exception: "), std::string::npos);
    }
    const Census before = TakeCensus();
    std::set<std::string> failedCalls;
    int refused = 0;
    int passedOver = 0;
    bool sawDeliveryThread = false;
    for (uint32_t n = 1;; ++n) {
        ASSERT_LT(n, 64u) << "InitDriver never got through";
        Faults.Arm(n, FaultScope::Setup);
        platform::SetLastSystemError(0);
        const int32_t index = InitDriverImpl(4, &OnCode);
        const uint32_t error = platform::LastSystemError();
        Faults.Disarm();
        const std::string failed = Faults.Failed();
        if (failed.empty()) { // past the last call: creating a driver is done
            ASSERT_EQ(index, 1);
            ExpectReceives(4, "1234");
            EXPECT_EQ(DestroyDriverImpl(), 1);
            break;
        }
        SCOPED_TRACE("call " + std::to_string(n) + ", " + failed + ", failed");
        failedCalls.insert(failed);
        if (index < 0) {
            ++refused;
            EXPECT_NE(error, 0u) << "the host must learn why";
            if (failed == "Open") {
                EXPECT_EQ(error, InjectedDeviceError()) << "the system's own code";
            }
            EXPECT_EQ(DriverTable.DriverCount, 1);
            EXPECT_EQ(DriverTable.Drivers[1].load(), nullptr);
            EXPECT_EQ(DriverTable.Threads[1].load(), nullptr);
            sawDeliveryThread |=
                LogText().find("Exception: Cannot start the delivery thread\r\n") != std::string::npos;
        } else {
            ++passedOver; // a call whose failure the port passes over: it must work all the same
            ASSERT_EQ(index, 1);
            ExpectReceives(4, "ABC" + std::to_string(n));
            EXPECT_EQ(DestroyDriverImpl(), 1);
        }
        EXPECT_EQ(Line.OpenDevices(), 1) << "only the older driver's port is open";
        EXPECT_EQ(TakeCensus(), before) << "threads or handles were left behind";
    }
    for (const char* call :
         {"Open", "SetQueueSizes", "Configure", "Status", "DropInput", "Arm", "ThreadStart"})
        EXPECT_TRUE(failedCalls.count(call)) << call << " was never made to fail";
    EXPECT_TRUE(sawDeliveryThread) << "the delivery thread's start was never refused";
    EXPECT_GT(refused, 0);
    EXPECT_GT(passedOver, 0);
    ExpectReceives(3, "0042");
    EXPECT_EQ(DestroyDriverImpl(), 0);
}

TEST_F(FaultSweep, EveryFailingCallOfTheReceiveCycleLosesNothing)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    std::vector<std::string> sent;
    for (const char* call : {"Look", "Status", "Read"}) {
        for (uint32_t n = 1; n <= 3; ++n) {
            SCOPED_TRACE(std::string(call) + " " + std::to_string(n));
            Faults.Arm(n, FaultScope::Reception, call);
            const std::string code = "12" + std::to_string(sent.size()) + "AB";
            sent.push_back(code);
            // In three pieces, each taken out before the next comes: three reads at least.
            for (const std::string& piece : {code.substr(0, 2), code.substr(2, 2), code.substr(4) + "\r"}) {
                Line.Feed(piece);
                ASSERT_TRUE(Eventually([&] { return Line.Waiting() == 0; }));
            }
            ASSERT_TRUE(Eventually([&] { return Codes().size() == sent.size(); }));
            // The fault may land after the code went through; the next cycles must still come.
            ASSERT_TRUE(Eventually([&] { return !Faults.Failed().empty(); }));
        }
    }
    Faults.Disarm();
    ExpectReceives(3, "FF");
    sent.push_back("FF");
    EXPECT_EQ(Codes(), sent) << "every code, whole and in order";
    EXPECT_EQ(DestroyDriverImpl(), 0);
    EXPECT_EQ(Line.OpenDevices(), 0);
}

TEST(FaultSweepEvents, ARefusedWakeEventIsReportedWithItsOwnCodeWhateverCameSince)
{
    DeviceFaults faults;
    faults.Arm(1, FaultScope::Events);
    TBelvorThread thread(0, 1000); // its wake event is its one event
    faults.Disarm();
    ASSERT_EQ(faults.Failed(), "EventCreate");
    // Whatever calls came between the creation and the start left their own code.
    platform::SetLastSystemError(platform::SystemErrorCode(platform::ErrorKind::InvalidArgument));
    const platform::Result<> started = thread.Start();
    EXPECT_FALSE(started);
    EXPECT_EQ(started.Error(), InjectedDeviceError());
}
