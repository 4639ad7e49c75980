#include "serial/Exceptions.h"

namespace belvor {

std::string FormatPortMessage(const char* format, unsigned portNumber)
{
    std::string text(format);
    const auto at = text.find("%d");
    if (at != std::string::npos)
        text.replace(at, 2, std::to_string(portNumber));
    return text;
}

} // namespace belvor
