#include "platform/errors.h"

namespace belvor::platform {

namespace {
std::string CodeText(uint32_t code)
{
    return "error " + std::to_string(code);
}
} // namespace

uint32_t SystemErrorCode(ErrorKind kind)
{
    return detail::kErrorKindCodes[static_cast<int>(kind)];
}

std::string SystemMessage(uint32_t code)
{
    return detail::SystemWords(code).value_or(CodeText(code));
}

std::string SystemMessageWithCode(uint32_t code, bool dropFullStop)
{
    std::optional<std::string> words = detail::SystemWords(code);
    if (!words)
        return CodeText(code);
    if (dropFullStop)
        while (!words->empty() && (words->back() == '.' || words->back() == ' '))
            words->pop_back();
    return *words + " (" + CodeText(code) + ")";
}

} // namespace belvor::platform
