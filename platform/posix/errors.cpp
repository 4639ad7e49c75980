#include "platform/errors.h"

#include <string>

#include <cerrno>
#include <cstring>

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

uint32_t LastSystemError()
{
    return static_cast<uint32_t>(errno);
}

std::optional<std::string> detail::SystemWords(uint32_t code)
{
    char buffer[256] = {};
    // The GNU strerror_r: it may return a static string instead of filling the buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    if (!text || !*text)
        return std::nullopt;
    return text;
}

} // namespace belvor::platform
