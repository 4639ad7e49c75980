// The Windows line semantics the device relies on (docs/design.md, "What the
// Windows device relies on"), one case per row, against a scripted driver:
// what Microsoft documents, what Wine does instead, and what a pulled adapter
// returns.
#include "platform/serial_device.h"
#include "platform/win32/serial_device_testing.h"
#include "win32/fake_comm.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <windows.h>

using namespace belvor::platform;
using belvor::test::FakeComm;

namespace {

class Semantics : public ::testing::Test {
protected:
    void SetUp() override { FTimings = SetTimings({.LostCompletionMs = 20, .WaitBoundMs = 100}); }
    void TearDown() override
    {
        Device.reset();
        SetTimings(FTimings);
    }
    Timings FTimings;

    void Open()
    {
        OpenedDevice opened = OpenSystemSerialDevice(7);
        ASSERT_TRUE(opened) << opened.Error();
        Device = std::move(*opened);
        Device->Arm({});
    }
    // The news of the next look: the scripted driver ends a wait as soon as
    // its events happen, and its queue shows what has come.
    LineNews NextNews()
    {
        const Result<LineSighting> look = Device->Look();
        EXPECT_TRUE(look && look->News) << "no news";
        return look && look->News ? *look->News : LineNews{};
    }
    // A look that found nothing new.
    bool NothingNew() { return Quiet(Device->Look()); }
    static bool Quiet(const Result<LineSighting>& look) { return look && !look->News; }
    // The device's loss, as a look tells it.
    uint32_t LostCode()
    {
        const Result<LineSighting> look = Device->Look();
        return look ? look->Lost : 0;
    }
    // Looks count times, the device's clock moving on by stepMs after each.
    void Looks(int count, int64_t stepMs = 0)
    {
        for (int i = 0; i < count; ++i, Comm.AdvanceMs(stepMs))
            (void)Device->Look();
    }

    FakeComm Comm;
    std::unique_ptr<SerialDevice> Device;
};

TEST_F(Semantics, AnOverlappedWaitEndsWithTheEventsThatHappenAndAMaskChangeEndsItEmpty)
{
    Open();
    ASSERT_TRUE(NothingNew()) << "a wait pending";
    Comm.Raise(EV_ERR);
    LineNews news = NextNews();
    EXPECT_TRUE(news.LineTrouble && !news.BytesArrived);
    ASSERT_TRUE(NothingNew()) << "a new wait";
    Device->Interrupt(); // asks for no events: Windows ends the wait with an empty mask
    news = NextNews();
    EXPECT_FALSE(news.BytesArrived || news.LineTrouble);
    EXPECT_EQ(Comm.Mask(), 0u);
    EXPECT_EQ(LostCode(), 0u);
}

TEST_F(Semantics, WaitsThatDoNotEndAreTakenCancelledOrGivenUpAndTheLineStillRead)
{
    struct Case {
        const char* Name;
        FakeComm::WaitEnd Waits;
        bool Cancelled; // this side cancelled a wait
        bool Again;     // and started another
        bool InFlight;  // a wait is in flight after (a lost completion's is taken as ended)
    };
    for (const Case c : {Case{"Wine's lost completion: the queue is looked at", FakeComm::WaitEnd::Lost,
                              false, false, false},
                         Case{"a quiet wait past its bound", FakeComm::WaitEnd::Windows, true, true, true},
                         Case{"a wait no cancel ends: the queue is looked at", FakeComm::WaitEnd::Never, true,
                              false, true}}) {
        SCOPED_TRACE(c.Name);
        Comm.Waits = c.Waits;
        const int cancels = Comm.Calls("CancelIoEx"), waits = Comm.Calls("WaitCommEvent");
        Open();
        Looks(6, 50); // past the bound and the cancel's bound after it
        EXPECT_EQ(Comm.Calls("CancelIoEx") > cancels, c.Cancelled);
        EXPECT_EQ(Comm.Calls("WaitCommEvent") - waits > 1, c.Again);
        EXPECT_EQ(WaitInFlightForTests(*Device), c.InFlight);
        Comm.Send("ab");
        EXPECT_TRUE(NextNews().BytesArrived) << "the bytes are seen";
        const Result<InputState> state = Device->Status();
        ASSERT_TRUE(state);
        EXPECT_EQ(state->Waiting, 2u);
        EXPECT_EQ(LostCode(), 0u) << "no wait's end means a loss";
        ASSERT_TRUE(Device->DropInput());
        Device.reset();
    }
}

TEST_F(Semantics, AReadWithTheWorkersTimeOutsReturnsAtOnceAndOneHeldPastItsBoundIsCancelled)
{
    Open();
    const COMMTIMEOUTS t = Comm.LastTimeouts();
    EXPECT_TRUE(t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                t.ReadTotalTimeoutConstant == 0)
        << "reads that return at once with what has arrived";
    uint8_t buffer[16] = {};
    Comm.Send("abc");
    EXPECT_EQ(Device->Read(buffer, sizeof buffer).ValueOr(0), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
    EXPECT_EQ(Device->Read(buffer, sizeof buffer).ValueOr(0), 0u) << "nothing queued: at once, with nothing";
    Comm.HoldEmptyReads = true; // Wine holds it
    EXPECT_EQ(Device->Read(buffer, sizeof buffer).ValueOr(0), 0u);
    EXPECT_EQ(Comm.Calls("CancelIoEx"), 1) << "cancelled past its bound";
    EXPECT_FALSE(Device->ReadOwed()) << "its cancel ended it";
    EXPECT_EQ(LostCode(), 0u) << "a read this side cancelled is no loss";
}

TEST_F(Semantics, ClearCommErrorsFlagsAreTheLineErrorsByKind)
{
    Open();
    struct Case {
        DWORD Flags;
        LineErrors Errors;
    };
    for (const Case c :
         {Case{CE_RXOVER, {.QueueOverflow = 1}}, Case{CE_OVERRUN, {.Overrun = 1}},
          Case{CE_RXPARITY, {.Parity = 1}}, Case{CE_FRAME, {.Framing = 1}}, Case{CE_BREAK, {.Break = 1}},
          Case{CE_FRAME | CE_BREAK, {.Framing = 1, .Break = 1}}, Case{0, {}}}) {
        Comm.ErrorFlags = c.Flags;
        const Result<InputState> state = Device->Status();
        ASSERT_TRUE(state);
        EXPECT_TRUE(state->Errors == c.Errors) << c.Flags;
        EXPECT_EQ(state->Waiting, 0u);
    }
}

TEST_F(Semantics, AbortsAreLossOnlyWhereNoneBelongAndAPulledAdaptersCodesAlways)
{
    // Wine ends every quiet wait with 995: no loss, and no more waits (each
    // would cost a thread of Wine's); the queue is looked at instead.
    Comm.WaitEndError = ERROR_OPERATION_ABORTED;
    Open();
    Looks(5);
    EXPECT_EQ(Comm.Calls("WaitCommEvent"), 1);
    Comm.Send("ab");
    EXPECT_TRUE(NextNews().BytesArrived);
    EXPECT_EQ(Device->Status().ValueOr({}).Waiting, 2u);
    Comm.ErrorFlags = CE_FRAME;
    EXPECT_TRUE(NextNews().LineTrouble);
    EXPECT_EQ(Device->Status().ValueOr({}).Errors.Framing, 1u) << "what the look cleared is not lost";
    EXPECT_EQ(LostCode(), 0u);
    // A pull then meets the status calls: the CDC driver's 995, three in a row, is a loss.
    Comm.StatusError = ERROR_OPERATION_ABORTED;
    for (int i = 0; i < 3; ++i)
        (void)Device->Status();
    EXPECT_EQ(LostCode(), static_cast<uint32_t>(ERROR_OPERATION_ABORTED));
    Device.reset();

    // What a pulled USB-serial adapter returns, from whichever call meets it first.
    struct Case {
        const char* Call;
        DWORD FakeComm::*Error;
    };
    for (const DWORD code : {DWORD(ERROR_ACCESS_DENIED), DWORD(ERROR_GEN_FAILURE), DWORD(ERROR_BAD_COMMAND),
                             DWORD(ERROR_DEVICE_REMOVED)}) {
        for (const Case c :
             {Case{"ClearCommError", &FakeComm::StatusError},
              Case{"WaitCommEvent", &FakeComm::WaitStartError},
              Case{"the wait's end", &FakeComm::WaitEndError}, Case{"ReadFile", &FakeComm::ReadError}}) {
            SCOPED_TRACE(std::string(c.Call) + " " + std::to_string(code));
            Comm.WaitEndError = Comm.WaitStartError = Comm.ReadError = Comm.StatusError = 0;
            Open();
            Comm.*c.Error = code;
            uint8_t buffer[4];
            (void)Device->Look();
            (void)Device->Look();
            (void)Device->Status();
            (void)Device->Read(buffer, sizeof buffer);
            EXPECT_EQ(LostCode(), code);
            Device.reset();
        }
    }
    // A new wait that fails with 995 three times in a row (Windows' CDC driver after a pull) is a loss.
    Comm.WaitEndError = Comm.WaitStartError = Comm.ReadError = Comm.StatusError = 0;
    Open();
    Comm.WaitStartError = ERROR_OPERATION_ABORTED;
    for (int i = 0; i < 3; ++i)
        (void)Device->Look();
    EXPECT_EQ(LostCode(), static_cast<uint32_t>(ERROR_OPERATION_ABORTED));
}

} // namespace
