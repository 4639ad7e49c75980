// What only the Windows serial device has.
#include "platform/serial_device.h"
#include "platform/sync.h"
#include "platform/win32/handles.h"
#include "platform/win32/line_settings.h"
#include "platform/win32/serial_device_testing.h"
#include "support/test_line.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <utility>
#include <windows.h>

using namespace belvor::platform;

namespace {

TEST(Win32SerialDevice, APortWithoutADeviceFailsWithTheSystemsError)
{
    // No COM49 exists under the test runner; COM0 never does.
    for (const uint16_t port : {uint16_t(49), uint16_t(0)}) {
        const OpenedDevice device = OpenSystemSerialDevice(port);
        EXPECT_FALSE(device) << "COM" << port;
        EXPECT_TRUE(device.Error() == ERROR_FILE_NOT_FOUND || device.Error() == ERROR_PATH_NOT_FOUND)
            << "COM" << port << ": error " << device.Error();
    }
}

TEST(LineSettings, AConfigSetsItsFieldsAndTheFlagPolicyAndKeepsTheRest)
{
    DCB dcb{};
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = 2;
    dcb.StopBits = ONE5STOPBITS;
    dcb.fBinary = dcb.fOutX = dcb.fAbortOnError = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDummy2 = 0x1FFFF; // bits 15-31 of the flag word
    dcb.XonLim = 7;
    dcb.EvtChar = '\n';
    MergeLineConfig(dcb, {.BaudRate = 9600, .StopBits = 2});
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_TRUE(dcb.BaudRate == 9600 && dcb.StopBits == TWOSTOPBITS);
    EXPECT_TRUE(dcb.ByteSize == 7 && dcb.Parity == 2) << "an absent field changed";
    EXPECT_EQ(dcb.fRtsControl, 0u) << "RTS control must be off";
    EXPECT_EQ(dcb.fDummy2, 1u) << "bits 16-31 must be cleared, bit 15 kept";
    EXPECT_TRUE(dcb.fBinary == 1 && dcb.fOutX == 1 && dcb.fAbortOnError == 1 &&
                dcb.fDtrControl == DTR_CONTROL_ENABLE)
        << "a flag outside the policy changed";
    EXPECT_TRUE(dcb.XonLim == 7 && dcb.EvtChar == '\n') << "a member no field names changed";

    for (const auto& [stop, config] : {std::pair{BYTE(ONESTOPBIT), 1}, std::pair{BYTE(TWOSTOPBITS), 2}}) {
        dcb.StopBits = stop;
        EXPECT_EQ(ConfigOf(dcb).StopBits, config);
    }
    dcb.StopBits = ONE5STOPBITS;
    EXPECT_FALSE(ConfigOf(dcb).StopBits) << "one and a half is no value of the config's";
}

TEST(LineSettings, AskedParityTurnsParityCheckingOnAndNoneKeepsThePortsFlag)
{
    // Without fParity Windows neither checks parity nor reports CE_RXPARITY.
    const struct {
        std::optional<uint8_t> Parity;
        DWORD Before, After;
    } cases[] = {
        {ODDPARITY, 0, 1}, {EVENPARITY, 0, 1}, {MARKPARITY, 0, 1},   {SPACEPARITY, 0, 1},  {ODDPARITY, 1, 1},
        {NOPARITY, 0, 0},  {NOPARITY, 1, 1},   {std::nullopt, 0, 0}, {std::nullopt, 1, 1},
    };
    for (const auto& c : cases) {
        DCB dcb{};
        dcb.fParity = c.Before;
        MergeLineConfig(dcb, {.Parity = c.Parity});
        EXPECT_EQ(dcb.fParity, c.After)
            << "parity " << int(c.Parity.value_or(99)) << ", fParity before " << c.Before;
    }
}

TEST(LineSettings, ARefusedPartOfTheMaskIsDroppedOnceAndTheRestKept)
{
    const RefusedWatches none;
    const RefusedWatches modem{.ModemLines = true};
    const RefusedWatches vendor{.VendorEvent = true};
    const RefusedWatches both{true, true};
    const struct {
        RefusedWatches Before;
        uint32_t Error;
        RefusedWatches After;
    } cases[] = {
        {none, ERROR_NOT_SUPPORTED, modem},      {modem, ERROR_INVALID_PARAMETER, both},
        {none, ERROR_INVALID_PARAMETER, vendor}, {vendor, ERROR_INVALID_PARAMETER, vendor},
        {modem, ERROR_NOT_SUPPORTED, modem},     {none, ERROR_IO_PENDING, none},
        {none, ERROR_OPERATION_ABORTED, none},   {both, ERROR_NOT_SUPPORTED, both},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(RefusalAfter(c.Before, c.Error) == c.After) << c.Error;
    EXPECT_EQ(EventMask(none), 0x21FDu);
    EXPECT_EQ(EventMask(modem), 0x20C5u);
    EXPECT_EQ(EventMask(both), 0x00C5u);
}

TEST(Win32SerialDevice, AnInterruptEndsAWaitUnderWay)
{
    auto line = belvor::test::MakeRealLine();
    ASSERT_NE(line, nullptr);
    OpenedDevice opened = OpenSystemSerialDevice(line->PortNumber());
    ASSERT_TRUE(opened) << opened.Error();
    SerialDevice& device = **opened;
    device.Arm({.ModemLines = true});
    ASSERT_TRUE(device.DropInput());
    const Result<LineSighting> first = device.Look();
    ASSERT_TRUE(first);
    ASSERT_FALSE(first->News) << "a wait under way";

    device.Interrupt();
    bool ended = false;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !ended && std::chrono::steady_clock::now() < end; SleepMs(5)) {
        const Result<LineSighting> news = device.Look();
        if (news && news->News) {
            ended = true;
            EXPECT_FALSE(news->News->BytesArrived || news->News->LineTrouble) << "no event happened";
        } else if (!news) {
            ended = true;
            EXPECT_EQ(news.Error(), line->QuietWaitEnding());
        }
    }
    EXPECT_TRUE(ended) << "the wait went on after the interrupt";
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
        OpenedDevice opened = OpenSystemSerialDevice(FLine->PortNumber());
        ASSERT_TRUE(opened) << opened.Error();
        FDevice = std::move(*opened);
        FDevice->Arm({});
        ASSERT_TRUE(FDevice->DropInput());
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
        const Result<uint32_t> read = FDevice->Read(FBuffer + kAt, kAsk);
        ASSERT_FALSE(read);
        ASSERT_EQ(read.Error(), static_cast<uint32_t>(WAIT_TIMEOUT)) << "the read did not stay in flight";
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
            got += FDevice->Read(dest + got, kAsk).ValueOr(0);
        return Text(dest, static_cast<uint32_t>(got));
    }

    // Reads until a call sees the late read ended (its bytes are stored a
    // moment before its end shows); what that call returned.
    uint32_t ReadPastLateRead(uint8_t* dest, uint32_t size)
    {
        for (const auto end = Clock::now() + kGuard; Clock::now() < end; SleepMs(1)) {
            const Result<uint32_t> n = FDevice->Read(dest, size);
            if (n || n.Error() != ERROR_IO_INCOMPLETE)
                return n.ValueOr(0);
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

TEST_F(LateRead, DroppingTheInputDropsBytesItStoredBefore)
{
    StartLateRead();
    ASSERT_TRUE(FLine->Send("stale"));
    ASSERT_TRUE(LateReadEnded());
    ASSERT_TRUE(FDevice->DropInput());
    EXPECT_EQ(ReadPastLateRead(FBuffer + kAt, kAsk), 0u) << "bytes from before the drop came through";

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
