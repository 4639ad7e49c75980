// What only the Windows serial device has.
#include "platform/serial_device.h"
#include "platform/sync.h"
#include "platform/win32/handles.h"
#include "platform/win32/line_settings.h"
#include "platform/win32/serial_device_testing.h"
#include "support/test_line.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <windows.h>

using namespace belvor::platform;

namespace {

TEST(Win32SerialDevice, APortWithoutADeviceFailsWithTheSystemsError)
{
    // No COM49 exists under the test runner; COM0 never does.
    for (const uint16_t port : {uint16_t(49), uint16_t(0)}) {
        uint32_t error = 0;
        EXPECT_EQ(OpenSystemSerialDevice(port, error), nullptr) << "COM" << port;
        EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            << "COM" << port << ": error " << error;
    }
}

// The DCB's flag bits in the order of the flag word's bits.
std::array<DWORD, 13> DcbFlags(const DCB& d)
{
    return {d.fBinary,         d.fParity,           d.fOutxCtsFlow, d.fOutxDsrFlow, d.fDtrControl,
            d.fDsrSensitivity, d.fTXContinueOnXoff, d.fOutX,        d.fInX,         d.fErrorChar,
            d.fNull,           d.fRtsControl,       d.fAbortOnError};
}

TEST(LineSettings, EachFlagBitIsItsDcbMemberBothWays)
{
    const struct {
        uint32_t Flags;
        size_t Member;
        DWORD Value;
    } cases[] = {{kFlagBinary, 0, 1},           {kFlagParity, 1, 1}, {kFlagOutxCtsFlow, 2, 1},
                 {kFlagOutxDsrFlow, 3, 1},      {0x0020, 4, 2},      {kFlagDsrSensitivity, 5, 1},
                 {kFlagTxContinueOnXoff, 6, 1}, {kFlagOutX, 7, 1},   {kFlagInX, 8, 1},
                 {kFlagErrorChar, 9, 1},        {kFlagNull, 10, 1},  {0x3000, 11, 3},
                 {kFlagAbortOnError, 12, 1}};
    for (const auto& c : cases) {
        DCB dcb{};
        MergeControlBlock(dcb, {0, c.Flags, 0, 0, 0});
        std::array<DWORD, 13> expected{};
        expected[c.Member] = c.Value;
        EXPECT_EQ(DcbFlags(dcb), expected) << std::hex << c.Flags;
        EXPECT_EQ(ControlBlockOf(dcb).Flags, c.Flags) << std::hex << c.Flags;
    }
}

TEST(LineSettings, AMergeSetsTheBlocksMembersAndKeepsTheOthers)
{
    DCB dcb{};
    dcb.fOutX = 1;
    dcb.XonLim = 7;
    dcb.XoffChar = 0x13;
    dcb.EvtChar = '\n';
    MergeControlBlock(dcb, {9600, kFlagBinary, 7, 2, 2});
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_TRUE(dcb.BaudRate == 9600 && dcb.ByteSize == 7 && dcb.Parity == 2 && dcb.StopBits == 2);
    EXPECT_TRUE(dcb.fBinary == 1 && dcb.fOutX == 0) << "the flag word is the block's";
    EXPECT_TRUE(dcb.XonLim == 7 && dcb.XoffChar == 0x13 && dcb.EvtChar == '\n')
        << "a member not listed changed";
    const ControlBlock back = ControlBlockOf(dcb);
    EXPECT_TRUE(back.BaudRate == 9600 && back.ByteSize == 7 && back.Parity == 2 && back.StopBits == 2);

    const COMMTIMEOUTS t = NativeTimeouts({1, 2, 3, 4, 5});
    EXPECT_TRUE(t.ReadIntervalTimeout == 1 && t.ReadTotalTimeoutMultiplier == 2 &&
                t.ReadTotalTimeoutConstant == 3 && t.WriteTotalTimeoutMultiplier == 4 &&
                t.WriteTotalTimeoutConstant == 5);
}

using Clock = std::chrono::steady_clock;
// Guard against a hang only: bytes cross the line in milliseconds.
constexpr auto kGuard = std::chrono::seconds(5);
constexpr uint8_t kUntouched = 0xEE;
constexpr size_t kAt = 7;     // where in the buffer reads store
constexpr uint32_t kAsk = 32; // how much they ask for

// Reads that outlive their bound on purpose: on a quiet line Wine keeps a read
// pending, and with the cancellation skipped it stays in flight until bytes
// arrive, so it completes late, between two calls.
class LateRead : public ::testing::Test {
protected:
    void SetUp() override
    {
        FSaved = ReplaceReadBoundsForTests({1, false});
        FLine = belvor::test::MakeRealLine();
        ASSERT_NE(FLine, nullptr);
        uint32_t error = 0;
        FDevice = OpenSystemSerialDevice(FLine->PortNumber(), error);
        ASSERT_NE(FDevice, nullptr) << error;
        ASSERT_TRUE(FDevice->SetTimeouts({0xFFFFFFFFu, 0, 0, 0, 20000}));
        ASSERT_TRUE(FDevice->Purge(kPurgeRxAbort | kPurgeRxClear));
        std::memset(FBuffer, kUntouched, sizeof FBuffer);
        std::memset(FOther, kUntouched, sizeof FOther);
    }
    void TearDown() override
    {
        FDevice.reset(); // with the read still in flight: the close must end it
        (void)ReplaceReadBoundsForTests(FSaved);
    }

    // Starts a read at kAt that stays in flight on the quiet line.
    void StartLateRead()
    {
        ASSERT_EQ(FDevice->Read(FBuffer + kAt, kAsk), 0u);
        ASSERT_EQ(FDevice->LastError(), static_cast<uint32_t>(WAIT_TIMEOUT))
            << "the read did not stay in flight";
    }

    // Waits until the read in flight has completed (its bytes have left the line).
    bool LateReadEnded()
    {
        for (const auto end = Clock::now() + kGuard; Clock::now() < end; SleepMs(2)) {
            if (ReadInFlightEndedForTests(*FDevice))
                return true;
        }
        return false;
    }

    void ExpectNotClaimedBy(uint8_t* dest, uint32_t size);

    // Reads from dest on until count bytes have come; what came.
    std::string ReadAll(uint8_t* dest, size_t count)
    {
        size_t got = 0;
        for (const auto end = Clock::now() + kGuard; got < count && Clock::now() < end; SleepMs(2))
            got += FDevice->Read(dest + got, kAsk);
        return Text(dest, static_cast<uint32_t>(got));
    }

    // Reads until a call sees the late read ended (its bytes are stored a
    // moment before its end shows); what that call returned.
    uint32_t ReadPastLateRead(uint8_t* dest, uint32_t size)
    {
        for (const auto end = Clock::now() + kGuard; Clock::now() < end; SleepMs(1)) {
            const uint32_t n = FDevice->Read(dest, size);
            if (n != 0 || FDevice->LastError() != ERROR_IO_INCOMPLETE)
                return n;
        }
        return 0;
    }

    static std::string Text(const uint8_t* at, uint32_t n) { return {reinterpret_cast<const char*>(at), n}; }

    ReadBoundsForTests FSaved;
    std::unique_ptr<belvor::test::TestLine> FLine;
    std::unique_ptr<SerialDevice> FDevice;
    uint8_t FBuffer[64];
    uint8_t FOther[64];
};

TEST_F(LateRead, ItsBytesGoToTheNextReadAtTheSamePlace)
{
    StartLateRead();
    ASSERT_TRUE(FLine->Send("late!"));
    const uint32_t n = ReadPastLateRead(FBuffer + kAt, kAsk);
    ASSERT_EQ(n, 5u) << "the bytes of the late read were lost";
    EXPECT_EQ(Text(FBuffer + kAt, n), "late!");
    EXPECT_EQ(FBuffer[kAt - 1], kUntouched) << "stored before the place asked for";
    EXPECT_EQ(FBuffer[kAt + n], kUntouched) << "stored past the count returned";

    // The reads after it go on from the line's next byte.
    ASSERT_TRUE(FLine->Send("next"));
    EXPECT_EQ(ReadAll(FBuffer + kAt + n, 4), "next");
}

// A late read whose bytes the next call did not ask for: that call gets none
// of them, and the device reads on afresh at the place now asked for.
void LateRead::ExpectNotClaimedBy(uint8_t* dest, uint32_t size)
{
    StartLateRead();
    ASSERT_TRUE(FLine->Send("lost"));
    ASSERT_TRUE(LateReadEnded());
    EXPECT_EQ(ReadPastLateRead(dest, size), 0u) << "claimed bytes that were not asked for";

    ASSERT_TRUE(FLine->Send("fresh"));
    EXPECT_EQ(ReadAll(dest, 5), "fresh");
}

TEST_F(LateRead, ItsBytesAreNotClaimedForAnotherPlace)
{
    ExpectNotClaimedBy(FOther, kAsk);
}

TEST_F(LateRead, ItsBytesAreNotClaimedForASmallerRead)
{
    ExpectNotClaimedBy(FBuffer + kAt, 3);
}

TEST_F(LateRead, APurgeDropsBytesItStoredBeforeThePurge)
{
    StartLateRead();
    ASSERT_TRUE(FLine->Send("stale"));
    ASSERT_TRUE(LateReadEnded());
    ASSERT_TRUE(FDevice->Purge(kPurgeRxAbort | kPurgeRxClear));
    EXPECT_EQ(ReadPastLateRead(FBuffer + kAt, kAsk), 0u) << "bytes from before the purge came through";

    ASSERT_TRUE(FLine->Send("new"));
    EXPECT_EQ(ReadAll(FBuffer + kAt, 3), "new");
}

// A driver whose cancel never ends: the read outlives the device, and then the
// memory it was asked to fill belongs to someone else (the port frees its ring).
TEST_F(LateRead, AReadLeftInFlightAtCloseNeverWritesIntoItsCallersMemory)
{
    (void)ReplaceReadBoundsForTests({1, false, false});
    StartLateRead();
    FDevice.reset();
    const KeptReadForTests kept = TakeKeptReadForTests();
    ASSERT_NE(kept.Record, nullptr) << "the read did not outlive the device";
    constexpr uint8_t kFreed = 0xDD;
    std::memset(FBuffer, kFreed, sizeof FBuffer);

    ASSERT_TRUE(FLine->Send("late!"));
    const auto completed = [&] { return HasOverlappedIoCompleted(kept.Record); };
    for (const auto end = Clock::now() + kGuard; !completed() && Clock::now() < end;)
        SleepMs(2);
    const bool ended = completed();
    const ULONG_PTR stored = kept.Record->InternalHigh;
    CloseTrackedHandle(kept.File);
    ASSERT_TRUE(ended);
    EXPECT_EQ(stored, 5u) << "the read did not complete after the close";
    EXPECT_EQ(std::count(FBuffer, FBuffer + sizeof FBuffer, kFreed),
              static_cast<std::ptrdiff_t>(sizeof FBuffer))
        << "written after the close: " << Text(FBuffer + kAt, 5);
}

} // namespace
