// What errno values say about a tty's device (device_loss.h): a tty reports
// these once its device has gone (USB unplugged and the tty hung up, a pty
// whose other side closed). No code is ambiguous here.
#pragma once

#include "platform/device_loss.h"

#include <cerrno>
#include <cstdint>

namespace belvor::platform {

constexpr CodeMeaning PosixLossCode(uint32_t code)
{
    switch (code) {
    case EIO:
    case ENXIO:
    case ENODEV:
        return CodeMeaning::Gone;
    default:
        return CodeMeaning::Nothing;
    }
}

} // namespace belvor::platform
