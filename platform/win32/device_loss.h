// Whether the failures of a serial device's calls mean that the device is gone
// (a USB adapter pulled, its driver removed, the pty behind a Wine COM port hung
// up). Apart so that the rule can be checked against the patterns of drivers
// that cannot be plugged in here.
#pragma once

#include <atomic>
#include <cstdint>

namespace belvor::platform {

// The calls of a device that take part; a wait or read that went on in the
// background ends in a separate step.
enum class DeviceCall { ClearError, WaitStart, WaitEnd, ReadStart, ReadEnd };

// Codes that mean the device is gone whatever call reported them. What
// surprise removal leaves behind: usbser.sys, CH340 and others fail with
// access denied or "the device does not recognize the command", some with a
// general failure, removed, not connected, no such device, the file or handle
// no longer there; Wine fails waits and ClearCommError on a hung-up pty with
// "not ready" and its reads with a broken pipe.
constexpr bool MeansDeviceGone(uint32_t code)
{
    switch (code) {
    case 2:    // ERROR_FILE_NOT_FOUND
    case 5:    // ERROR_ACCESS_DENIED
    case 6:    // ERROR_INVALID_HANDLE
    case 21:   // ERROR_NOT_READY
    case 22:   // ERROR_BAD_COMMAND
    case 31:   // ERROR_GEN_FAILURE
    case 55:   // ERROR_DEV_NOT_EXIST
    case 109:  // ERROR_BROKEN_PIPE
    case 433:  // ERROR_NO_SUCH_DEVICE
    case 1167: // ERROR_DEVICE_NOT_CONNECTED
    case 1617: // ERROR_DEVICE_REMOVED
        return true;
    default:
        return false;
    }
}

inline constexpr uint32_t kErrorOperationAborted = 995;

// ERROR_OPERATION_ABORTED is ambiguous: Wine ends every quiet wait on a pty
// with it, the device's own reads end with it when this side cancels them,
// and Windows' CDC driver now and then fails a new wait with it after traffic.
// Some drivers, though, fail everything with it once the device is gone. So
// it counts only where it is not one of those endings, and only when it comes
// this many times in a row with no call succeeding in between.
inline constexpr uint32_t kAbortedInARow = 3;

class DeviceLossWatch {
public:
    // A call failed with code. cancelledHere: this side cancelled the
    // operation (a read past its bound), so an abort is its own doing.
    void Failed(DeviceCall call, uint32_t code, bool cancelledHere = false)
    {
        if (MeansDeviceGone(code)) {
            Mark(code);
            return;
        }
        if (code != kErrorOperationAborted || cancelledHere || call == DeviceCall::WaitEnd)
            return; // says nothing about the device
        if (FAbortsInARow.fetch_add(1) + 1 >= kAbortedInARow)
            Mark(code);
    }
    // A call succeeded: the device answers, whatever aborts came before.
    // Going on in the background does not count: a dead driver may queue.
    void Succeeded() { FAbortsInARow.store(0); }

    bool Lost(uint32_t& code) const
    {
        const uint32_t lost = FLostCode.load();
        if (lost == 0)
            return false;
        code = lost;
        return true;
    }

private:
    // The first code that meant loss is the one kept.
    void Mark(uint32_t code)
    {
        uint32_t none = 0;
        (void)FLostCode.compare_exchange_strong(none, code);
    }

    std::atomic<uint32_t> FLostCode{0};
    std::atomic<uint32_t> FAbortsInARow{0};
};

} // namespace belvor::platform
