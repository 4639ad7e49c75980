#include "platform/errors.h"

#include <cerrno>

namespace belvor::platform {

uint32_t SystemErrorCode(ErrorKind kind)
{
    switch (kind) {
    case ErrorKind::InvalidArgument:
        return EINVAL;
    case ErrorKind::TooMany:
        return EMFILE;
    case ErrorKind::WouldDeadlock:
        return EDEADLK;
    case ErrorKind::NoneLive:
        return ENOENT;
    }
    return EINVAL;
}

void SetLastSystemError(uint32_t code)
{
    errno = static_cast<int>(code);
}

} // namespace belvor::platform
