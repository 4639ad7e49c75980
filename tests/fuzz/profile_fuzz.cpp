// Arbitrary configuration text through the INI reader.
//
// Input: a value v up to the first line feed, then the text. The text is read as it is;
// with a [Chars] section setting Allow to v put before it, which must give v whatever the
// text holds (only the first section and the first entry of a name count); with another
// section put before it, which must change nothing; and, when the text has no header, with
// a [Chars] section setting Allow to v after it, which must give v.
#include "fuzz/fuzz_input.h"
#include "platform/profile.h"

#include <cstdint>
#include <string>
#include <string_view>

using belvor::fuzz::Check;
using belvor::fuzz::Text;

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\x1A';
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
    const std::string_view input = Text(data, size);
    const size_t cut = std::min(input.find('\n'), input.size());
    std::string v(input.substr(0, cut));
    // Line ends and NULs cannot be in a value.
    std::erase(v, '\r');
    std::erase(v, '\0');
    const std::string text(input.substr(std::min(cut + 1, input.size())));
    // A byte-order mark makes the text UTF-8 or UTF-16; without one its bytes are kept.
    const bool marked =
        text.starts_with("\xEF\xBB\xBF") || text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF");

    bool found = false;
    const std::string first = Find(text, found);
    Check(found || first == "unchanged");
    // A value is a piece of one line of the text, without its NULs.
    Check(!found || first.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
    Check(!found || marked || text.find(first) != std::string::npos);

    bool again = false;
    Check(Find("[chars]\nallow = \"" + v + "\"\r\n" + text, again) == v && again);
    if (!marked) {
        const std::string other = Find(" [Other]\n" + text, again);
        Check(again == found && other == first);
    }

    std::string bare(v);
    while (!bare.empty() && IsBlank(bare.front()))
        bare.erase(0, 1);
    while (!bare.empty() && IsBlank(bare.back()))
        bare.pop_back();
    const bool quoted =
        bare.size() >= 2 && (bare.front() == '"' || bare.front() == '\'') && bare.back() == bare.front();
    if (!quoted && !marked && text.find('[') == std::string::npos)
        Check(Find(text + "\r\n [Chars] \r\nAllow=" + bare + "\n", again) == bare && again);
    return 0;
}
