#include "platform/errors.h"

#include <string>

#include <cerrno>
#include <cstring>

namespace belvor::platform {

const uint32_t detail::kErrorKindCodes[kErrorKinds] = {EINVAL, EMFILE, EDEADLK, ENOENT, EBUSY, EAGAIN};

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
