// A Windows serial device whose device goes away: the rule against the patterns
// of drivers that cannot be unplugged here, then the cable pulled under Wine.
#include "platform/serial_device.h"
#include "platform/win32/device_loss.h"
#include "support/test_line.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <windows.h>

using namespace belvor::platform;

namespace {

constexpr uint32_t kAborted = ERROR_OPERATION_ABORTED;

TEST(DeviceLossWatch, OnlyAbortsInARowWhereNoneBelongAreLossAndTheFirstCodeIsKept)
{
    for (const DeviceCall call : {DeviceCall::ClearError, DeviceCall::WaitStart, DeviceCall::ReadStart}) {
        DeviceLossWatch watch;
        uint32_t code = 0;
        for (int round = 0; round < 2; ++round) {
            for (uint32_t i = 1; i < kAbortedInARow; ++i) {
                watch.Failed(call, kAborted);
                watch.Failed(DeviceCall::WaitEnd, kAborted);       // Wine's quiet wait
                watch.Failed(DeviceCall::ReadEnd, kAborted, true); // a read cancelled here
            }
            EXPECT_FALSE(watch.Lost(code)) << "lost before the streak was full";
            if (round == 0)
                watch.Succeeded(); // the device answered: the aborts before it are forgiven
        }
        watch.Failed(call, kAborted);
        watch.Failed(DeviceCall::ReadEnd, ERROR_BAD_COMMAND);
        ASSERT_TRUE(watch.Lost(code)) << static_cast<int>(call);
        EXPECT_EQ(code, kAborted);
    }
    DeviceLossWatch watch; // a removed device's code counts at once
    watch.Failed(DeviceCall::WaitEnd, ERROR_DEVICE_REMOVED);
    uint32_t code = 0;
    EXPECT_TRUE(watch.Lost(code) && code == ERROR_DEVICE_REMOVED) << code;
}

// The port's worker every 10 ms; the parameter says how much of it runs:
// the wait only (0), with ClearCommError (1), with reads (2).
class PulledCable : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        FLine = belvor::test::MakeRealLine();
        FDevice = Open();
        ASSERT_NE(FDevice, nullptr);
    }

    // COM7 set up as the other device tests do.
    std::unique_ptr<SerialDevice> Open()
    {
        uint32_t error = 0;
        auto device = OpenSystemSerialDevice(FLine->PortNumber(), error);
        ControlBlock block;
        if (!device || !device->Setup(4096, 4096) || !device->SetTimeouts({0xFFFFFFFFu, 0, 0, 0, 20000}) ||
            !device->GetState(block))
            return nullptr;
        block = {9600,
                 block.Flags & 0x0000CFFF &
                     ~(kFlagOutX | kFlagInX | kFlagParity | kFlagOutxCtsFlow | kFlagOutxDsrFlow),
                 8, 0, 0};
        const bool ready = device->SetState(block) && device->SetMask(kEvRxChar | kEvErr | kEvBreak) &&
                           device->Purge(kPurgeRxAbort | kPurgeRxClear);
        return ready ? std::move(device) : nullptr;
    }

    void Cycle(SerialDevice& device, int calls, std::string& received)
    {
        uint32_t mask = 0;
        if (!device.WaitEvent(mask) && device.LastError() == kAborted)
            ++FQuietEnds;
        uint32_t errors = 0;
        uint32_t waiting = 0;
        if (calls >= 1)
            (void)device.ClearError(errors, waiting);
        uint8_t buffer[64];
        if (calls >= 2)
            received.append(reinterpret_cast<char*>(buffer), device.Read(buffer, sizeof buffer));
        Sleep(10);
    }

    std::unique_ptr<belvor::test::TestLine> FLine;
    std::unique_ptr<SerialDevice> FDevice;
    int FQuietEnds = 0;
    std::string FReceived;
};

TEST_P(PulledCable, AHealthyQuietLineIsNeverLost)
{
    for (int i = 1; i <= 300; ++i) {
        Cycle(*FDevice, i % 3 == 0 ? GetParam() : std::min(GetParam(), 1), FReceived);
        ASSERT_TRUE((i != 100 && i != 200) || FLine->Send("+"));
    }
    uint32_t code = 0;
    EXPECT_FALSE(FDevice->Lost(code)) << "lost with " << code;
    EXPECT_EQ(FReceived, GetParam() >= 2 ? "++" : "") << "the line was not read";
    EXPECT_TRUE(FLine->QuietWaitEnding() == 0 || FQuietEnds > 0) << "no wait ended as Wine ends quiet ones";
}

TEST_P(PulledCable, APulledCableIsLostWithinAFewCyclesAndPluggedBackInReceivesAgain)
{
    for (int i = 0; i < 5; ++i) // a wait in flight, as in the worker
        Cycle(*FDevice, GetParam(), FReceived);
    if (!FLine->PullCable()) {
        GTEST_SKIP() << "this line's cable cannot be pulled (tools/wine-run.sh can)";
    }
    uint32_t code = 0;
    for (int i = 0; i < 20 && !FDevice->Lost(code); ++i)
        Cycle(*FDevice, GetParam(), FReceived);
    // Wine: a wait or ClearCommError on a hung-up pty is "not ready", a read a broken pipe.
    ASSERT_TRUE(code == ERROR_NOT_READY || code == ERROR_BROKEN_PIPE) << "after 20 cycles: " << code;
    uint32_t error = 0;
    EXPECT_EQ(OpenSystemSerialDevice(FLine->PortNumber(), error), nullptr) << "opened with the cable out";
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(FLine->PlugBackIn());
    for (int i = 0; i < 10; ++i)
        Cycle(*FDevice, 2, FReceived);
    uint32_t later = 0;
    EXPECT_TRUE(FDevice->Lost(later) && later == code) << "the loss did not last, or its code changed";
    auto device = Open();
    ASSERT_NE(device, nullptr);
    std::string received;
    ASSERT_TRUE(FLine->Send("back"));
    for (int i = 0; i < 300 && received.size() < 4; ++i) // a guard only
        Cycle(*device, 2, received);
    EXPECT_EQ(received, "back");
    EXPECT_FALSE(device->Lost(later)) << later;
}

INSTANTIATE_TEST_SUITE_P(Calls, PulledCable, ::testing::Values(0, 1, 2));

} // namespace
