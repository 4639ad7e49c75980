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

uint32_t LastSystemError()
{
    return GetLastError();
}

std::optional<std::string> detail::SystemWords(uint32_t code)
{
    char buffer[512] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    // One line: the system ends its messages with CR LF and may break them.
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ' ';
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    if (text.empty())
        return std::nullopt;
    return text;
}

} // namespace belvor::platform
