#include "platform/errors.h"

#include <windows.h>

namespace belvor::platform {

uint32_t SystemErrorCode(ErrorKind kind)
{
    switch (kind) {
    case ErrorKind::InvalidArgument:
        return ERROR_INVALID_PARAMETER;
    case ErrorKind::TooMany:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ErrorKind::WouldDeadlock:
        return ERROR_POSSIBLE_DEADLOCK;
    case ErrorKind::NoneLive:
        return ERROR_NOT_FOUND;
    }
    return ERROR_INVALID_PARAMETER;
}

void SetLastSystemError(uint32_t code)
{
    SetLastError(code);
}

} // namespace belvor::platform
