// The Windows line semantics the device relies on (docs/design.md, "What the
// Windows device relies on"), one case per row, against a scripted driver:
// what Microsoft documents, what Wine does instead, and what a pulled adapter
// returns.
#include "platform/serial_device.h"
#include "platform/win32/line_settings.h"
#include "platform/win32/serial_device_testing.h"
#include "win32/fake_comm.h"

#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <windows.h>

using namespace belvor::platform;
using belvor::test::FakeComm;

namespace {

class Semantics : public ::testing::Test {
protected:
    void SetUp() override { ReplaceWaitBoundsForTests({.LostCompletionMs = 20, .WaitBoundMs = 100}); }
    void TearDown() override
    {
        Device.reset();
        ReplaceWaitBoundsForTests({});
    }

    void Open()
    {
        OpenedDevice opened = OpenSystemSerialDevice(7);
        ASSERT_TRUE(opened) << opened.Error();
        Device = std::move(*opened);
        Device->Arm({});
    }
    // Looks until one gives news, for up to ms.
    bool LookUntilNews(LineNews& news, int ms = 2000)
    {
        for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
             std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
            if (const Result<LineSighting> look = Device->Look(); look && look->News) {
                news = *look->News;
                return true;
            }
        }
        return false;
    }
    void LookFor(int ms)
    {
        for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
             std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(5)))
            (void)Device->Look();
    }

    FakeComm Comm;
    std::unique_ptr<SerialDevice> Device;
};

TEST_F(Semantics, AnOverlappedWaitEndsWithTheEventsThatHappenAndAMaskChangeEndsItEmpty)
{
    Open();
    const Result<LineSighting> first = Device->Look();
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->News) << "a wait under way is no news";
    Comm.Raise(EV_ERR);
    LineNews news;
    ASSERT_TRUE(LookUntilNews(news));
    EXPECT_TRUE(news.LineTrouble && !news.BytesArrived);
    ASSERT_FALSE(Device->Look()->News) << "a new wait";
    Device->Interrupt(); // asks for no events: Windows ends the wait with an empty mask
    ASSERT_TRUE(LookUntilNews(news));
    EXPECT_FALSE(news.BytesArrived || news.LineTrouble);
    EXPECT_EQ(Comm.Mask(), 0u);
    EXPECT_EQ(LostCodeForTests(*Device), 0u);
}

TEST_F(Semantics, WaitsThatDoNotEndAreTakenCancelledOrGivenUpAndTheLineStillRead)
{
    struct Case {
        const char* Name;
        FakeComm::WaitEnd Waits;
        bool Cancelled; // this side cancelled a wait
        bool Again;     // and started another
    };
    for (const Case c :
         {Case{"Wine's lost completion: the queue is looked at", FakeComm::WaitEnd::Lost, false, false},
          Case{"a quiet wait past its bound", FakeComm::WaitEnd::Windows, true, true},
          Case{"a wait no cancel ends: the queue is looked at", FakeComm::WaitEnd::Never, true, false}}) {
        SCOPED_TRACE(c.Name);
        Comm.Waits = c.Waits;
        const int cancels = Comm.Calls("CancelIoEx"), waits = Comm.Calls("WaitCommEvent");
        Open();
        LookFor(260); // past the bound and the cancel's bound after it
        EXPECT_EQ(Comm.Calls("CancelIoEx") > cancels, c.Cancelled);
        EXPECT_EQ(Comm.Calls("WaitCommEvent") - waits > 1, c.Again);
        Comm.Send("ab");
        LineNews news;
        EXPECT_TRUE(LookUntilNews(news, 300) && news.BytesArrived) << "the bytes are seen";
        const Result<InputState> state = Device->Status();
        ASSERT_TRUE(state);
        EXPECT_EQ(state->Waiting, 2u);
        EXPECT_EQ(LostCodeForTests(*Device), 0u) << "no wait's end means a loss";
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
    EXPECT_EQ(LostCodeForTests(*Device), 0u) << "a read this side cancelled is no loss";
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
    LookFor(60);
    EXPECT_EQ(Comm.Calls("WaitCommEvent"), 1);
    Comm.Send("ab");
    LineNews news;
    EXPECT_TRUE(LookUntilNews(news, 300) && news.BytesArrived);
    EXPECT_EQ(Device->Status().ValueOr({}).Waiting, 2u);
    Comm.ErrorFlags = CE_FRAME;
    EXPECT_TRUE(LookUntilNews(news, 300) && news.LineTrouble);
    EXPECT_EQ(Device->Status().ValueOr({}).Errors.Framing, 1u) << "what the look cleared is not lost";
    uint32_t lost = 0;
    EXPECT_EQ(LostCodeForTests(*Device), 0u);
    // A pull then meets the status calls: the CDC driver's 995, three in a row, is a loss.
    Comm.StatusError = ERROR_OPERATION_ABORTED;
    for (int i = 0; i < 3; ++i)
        (void)Device->Status();
    EXPECT_NE(lost = LostCodeForTests(*Device), 0u);
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
            lost = 0;
            EXPECT_NE(lost = LostCodeForTests(*Device), 0u);
            EXPECT_EQ(lost, code);
            Device.reset();
        }
    }
    // A new wait that fails with 995 three times in a row (Windows' CDC driver after a pull) is a loss.
    Comm.WaitEndError = Comm.WaitStartError = Comm.ReadError = Comm.StatusError = 0;
    Open();
    Comm.WaitStartError = ERROR_OPERATION_ABORTED;
    for (int i = 0; i < 3; ++i)
        (void)Device->Look();
    EXPECT_NE(lost = LostCodeForTests(*Device), 0u);
}

} // namespace
