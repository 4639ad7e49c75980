// The one rule for a device's loss, over both platforms' tables of codes.
#include "platform/device_loss.h"
#include "platform/posix/loss_codes.h"
#include "platform/win32/loss_codes.h"

#include <cerrno>
#include <gtest/gtest.h>

using namespace belvor::platform;

namespace {

TEST(DeviceLossWatch, EachPlatformsCodesAreLossOrNothingAndTheFirstLossIsKept)
{
    const struct {
        LossCodes Codes;
        DeviceCall Call;
        uint32_t Code;
        bool Gone;
    } cases[] = {
        {&Win32LossCode, DeviceCall::WaitEnd, 1617, true},   // removed, even ending a wait
        {&Win32LossCode, DeviceCall::Status, 21, true},      // Wine's hung-up pty: not ready
        {&Win32LossCode, DeviceCall::ReadEnd, 109, true},    // its reads: a broken pipe
        {&Win32LossCode, DeviceCall::WaitStart, 87, false},  // a refused mask
        {&Win32LossCode, DeviceCall::ReadStart, 997, false}, // going on
        {&PosixLossCode, DeviceCall::ReadStart, EIO, true},
        {&PosixLossCode, DeviceCall::Status, ENXIO, true},
        {&PosixLossCode, DeviceCall::WaitStart, ENODEV, true},
        {&PosixLossCode, DeviceCall::ReadStart, EAGAIN, false},
        {&PosixLossCode, DeviceCall::Status, EINVAL, false},
        {&PosixLossCode, DeviceCall::Status, kErrorOperationAborted, false}, // no code is ambiguous here
    };
    for (const auto& c : cases) {
        DeviceLossWatch watch(c.Codes);
        for (uint32_t i = 0; i < kAmbiguousInARow + 1; ++i)
            watch.Failed(c.Call, c.Code);
        uint32_t code = 0;
        ASSERT_EQ(watch.Lost(code), c.Gone) << c.Code;
        if (!c.Gone)
            continue;
        EXPECT_EQ(code, c.Code);
        watch.Failed(c.Call, c.Codes == &PosixLossCode ? EIO + ENODEV - c.Code : 2);
        watch.Succeeded();
        EXPECT_TRUE(watch.Lost(code) && code == c.Code) << "the loss did not last, or its code changed";
    }
}

TEST(DeviceLossWatch, OnlyAbortsInARowWhereNoneBelongAreLoss)
{
    constexpr uint32_t kAborted = kErrorOperationAborted;
    for (const DeviceCall call : {DeviceCall::Status, DeviceCall::WaitStart, DeviceCall::ReadStart}) {
        DeviceLossWatch watch(&Win32LossCode);
        uint32_t code = 0;
        for (int round = 0; round < 2; ++round) {
            for (uint32_t i = 1; i < kAmbiguousInARow; ++i) {
                watch.Failed(call, kAborted);
                watch.Failed(DeviceCall::WaitEnd, kAborted);       // Wine's quiet wait
                watch.Failed(DeviceCall::ReadEnd, kAborted, true); // a read cancelled here
            }
            EXPECT_FALSE(watch.Lost(code)) << "lost before the streak was full";
            if (round == 0)
                watch.Succeeded(); // the device answered: the aborts before it are forgiven
        }
        watch.Failed(call, kAborted);
        watch.Failed(DeviceCall::ReadEnd, 87); // says nothing, and breaks no streak
        ASSERT_TRUE(watch.Lost(code)) << static_cast<int>(call);
        EXPECT_EQ(code, kAborted);
    }
}

} // namespace
