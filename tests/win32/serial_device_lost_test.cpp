// A Windows serial device whose device goes away: the cable pulled under Wine.
#include "platform/serial_device.h"
#include "platform/win32/serial_device_testing.h"
#include "support/test_line.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <windows.h>

using namespace belvor::platform;

namespace {

constexpr uint32_t kAborted = ERROR_OPERATION_ABORTED;

// The port's worker every 10 ms; the parameter says how much of it runs:
// the look only (0), with the status (1), with reads (2).
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
        OpenedDevice opened = OpenSystemSerialDevice(FLine->PortNumber());
        if (!opened || !(*opened)->SetQueueSizes(4096, 4096))
            return nullptr;
        std::unique_ptr<SerialDevice> device = std::move(*opened);
        device->Arm({.ModemLines = true});
        const bool ready = device->Configure({9600, 8, 0, 1}) && device->DropInput();
        return ready ? std::move(device) : nullptr;
    }

    void Cycle(SerialDevice& device, int calls, std::string& received)
    {
        if (const Result<LineSighting> look = device.Look(); !look && look.Error() == kAborted)
            ++FQuietEnds;
        if (calls >= 1)
            (void)device.Status();
        uint8_t buffer[64];
        if (calls >= 2)
            received.append(reinterpret_cast<char*>(buffer), device.Read(buffer, sizeof buffer).ValueOr(0));
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
    code = LostCodeForTests(*FDevice);
    EXPECT_EQ(code, 0u) << "lost with " << code;
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
    for (int i = 0; i < 20 && (code = LostCodeForTests(*FDevice)) == 0; ++i)
        Cycle(*FDevice, GetParam(), FReceived);
    // Wine: a wait or ClearCommError on a hung-up pty is "not ready", a read a broken pipe.
    ASSERT_TRUE(code == ERROR_NOT_READY || code == ERROR_BROKEN_PIPE) << "after 20 cycles: " << code;
    const OpenedDevice again = OpenSystemSerialDevice(FLine->PortNumber());
    EXPECT_FALSE(again) << "opened with the cable out";
    EXPECT_EQ(again.Error(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(FLine->PlugBackIn());
    for (int i = 0; i < 10; ++i)
        Cycle(*FDevice, 2, FReceived);
    uint32_t later = LostCodeForTests(*FDevice);
    EXPECT_EQ(later, code) << "the loss did not last, or its code changed";
    auto device = Open();
    ASSERT_NE(device, nullptr);
    std::string received;
    ASSERT_TRUE(FLine->Send("back"));
    for (int i = 0; i < 300 && received.size() < 4; ++i) // a guard only
        Cycle(*device, 2, received);
    EXPECT_EQ(received, "back");
    EXPECT_EQ(LostCodeForTests(*device), 0u);
}

INSTANTIATE_TEST_SUITE_P(Calls, PulledCable, ::testing::Values(0, 1, 2));

} // namespace
