#include "programs/bridge/access.h"

#include <algorithm>
#include <cctype>

namespace belvor::bridge {

namespace {

bool SameText(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

bool IsIpv4(std::string_view text)
{
    int parts = 0;
    size_t start = 0;
    for (;;) {
        const size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view part = text.substr(start, dot - start);
        if (part.empty() || part.size() > 3 ||
            !std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            std::stoi(std::string(part)) > 255)
            return false;
        ++parts;
        if (dot == text.size())
            return parts == 4;
        start = dot + 1;
    }
}

bool IsIpv6Literal(std::string_view text)
{
    return text.size() > 2 && text.front() == '[' && text.back() == ']' &&
           std::all_of(text.begin() + 1, text.end() - 1, [](char c) {
               return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
           });
}

// The address as a Host header writes it: a v6 one in brackets.
std::string HostForm(const std::string& address)
{
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

} // namespace

bool HostAllowed(std::string_view host, const AccessRules& rules)
{
    const std::string suffix = ":" + std::to_string(rules.listenPort);
    std::string_view name;
    if (host.size() > suffix.size() && host.substr(host.size() - suffix.size()) == suffix)
        name = host.substr(0, host.size() - suffix.size());
    else if ((rules.listenPort == 80 || rules.listenPort == 443) &&
             host.find(':', host.rfind(']') + 1) == host.npos)
        name = host; // browsers name no port on the scheme's own
    else
        return false;
    if (SameText(name, "localhost") || SameText(name, HostForm(rules.listenAddress)))
        return true;
    const bool everyAddress = rules.listenAddress == "0.0.0.0" || rules.listenAddress == "::";
    return everyAddress && (IsIpv4(name) || IsIpv6Literal(name));
}

bool OriginAllowed(std::string_view origin, std::string_view host, const AccessRules& rules)
{
    if (std::find(rules.allowedOrigins.begin(), rules.allowedOrigins.end(), origin) !=
        rules.allowedOrigins.end())
        return true;
    return origin.size() == host.size() + 7 && origin.substr(0, 7) == "http://" &&
           SameText(origin.substr(7), host);
}

} // namespace belvor::bridge
