#include "platform/errors.h"

#include <windows.h>

namespace belvor::platform {

const uint32_t detail::kErrorKindCodes[kErrorKinds] = {
    ERROR_INVALID_PARAMETER, ERROR_TOO_MANY_OPEN_FILES, ERROR_POSSIBLE_DEADLOCK, ERROR_NOT_FOUND, ERROR_BUSY,
    ERROR_NOT_ENOUGH_MEMORY};

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
