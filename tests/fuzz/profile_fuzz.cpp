// Arbitrary configuration text through the INI reader.
//
// Input: a value v up to the first line feed, then the text. The text is read
// as it is; then with a [Chars] section setting Allow to v appended, which
// must give back what the text alone gave, or v when the text had no Allow.
#include "platform/profile.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace {

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

std::string Find(const std::string& text, bool& found)
{
    std::string value = "unchanged";
    found = belvor::platform::FindProfileString(text, "Chars", "Allow", value);
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t cut = std::min(input.find('\n'), input.size());
    std::string v(input.substr(0, cut));
    // Not pinned here: what becomes of a lone carriage return inside a line.
    std::erase(v, '\r');
    const std::string text(input.substr(std::min(cut + 1, input.size())));

    bool found = false;
    const std::string first = Find(text, found);
    // A value is a piece of one line of the text.
    Check(!found || (first.find('\n') == std::string::npos && text.find(first) != std::string::npos));
    Check(found || first == "unchanged");

    std::string bare(v);
    while (!bare.empty() && IsBlank(bare.front()))
        bare.erase(0, 1);
    while (!bare.empty() && IsBlank(bare.back()))
        bare.pop_back();
    const bool quoted =
        bare.size() >= 2 && (bare.front() == '"' || bare.front() == '\'') && bare.back() == bare.front();

    // The first Allow of the section wins; quotes keep blanks at the ends.
    bool again = false;
    Check(Find(text + "\n[chars]\nallow = \"" + v + "\"\r\n", again) == (found ? first : v) && again);
    if (!quoted)
        Check(Find(text + "\r\n [Chars] \r\nAllow=" + bare + "\n", again) == (found ? first : bare) && again);
    return 0;
}
