// What Windows' codes say about a serial device's presence (device_loss.h).
// Numbers only, so that the table can be checked on any system.
#pragma once

#include "platform/device_loss.h"

#include <cstdint>

namespace belvor::platform {

inline constexpr uint32_t kErrorOperationAborted = 995;

// Gone: what surprise removal leaves behind: usbser.sys, CH340 and others fail
// with access denied or "the device does not recognize the command", some
// with a general failure, removed, not connected, no such device, the file or
// handle no longer there; Wine fails waits and ClearCommError on a hung-up
// pty with "not ready" and its reads with a broken pipe.
// Ambiguous: ERROR_OPERATION_ABORTED: Wine ends every quiet wait on a pty with
// it, the device's own reads end with it when this side cancels them, and
// Windows' CDC driver now and then fails a new wait with it after traffic.
constexpr CodeMeaning Win32LossCode(uint32_t code)
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
        return CodeMeaning::Gone;
    case kErrorOperationAborted:
        return CodeMeaning::Ambiguous;
    default:
        return CodeMeaning::Nothing;
    }
}

} // namespace belvor::platform
