#include "platform/profile.h"

#include <algorithm>
#include <array>

// The rules are GetPrivateProfileStringA's, as Windows applies them to Belvor.ini (the
// differential test compares the two on many files): the file is read as UTF-16 code units,
// lines end at CR or LF, only the first section of a name counts, and names and values end at
// a NUL.

namespace belvor::platform {

namespace {

// Windows-1252, the ANSI code page: the characters of bytes 0x80 to 0x9F. The five bytes the
// code page leaves undefined stand for the same code points.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr char16_t kReplacement = 0xFFFD;

// The file's text. An ANSI file keeps its bytes as units: the syntax is all ASCII, so the
// round trip through the code page that Windows makes changes nothing.
struct Text {
    std::u16string units;
    bool unicode = false;
};

bool IsContinuation(unsigned char c)
{
    return c >= 0x80 && c <= 0xBF;
}

// A bad sequence becomes one replacement character: the bytes up to the first one that is
// not a continuation byte, or up to and including a second byte out of range for its lead
// (an overlong form, a surrogate, a code point past U+10FFFF).
void DecodeUtf8(std::string_view bytes, std::u16string& out)
{
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i++]);
        if (lead < 0x80) {
            out += static_cast<char16_t>(lead);
            continue;
        }
        size_t more = lead >= 0xC2 && lead <= 0xDF   ? 1
                      : lead >= 0xE0 && lead <= 0xEF ? 2
                      : lead >= 0xF0 && lead <= 0xF4 ? 3
                                                     : 0;
        unsigned char low = 0x80, high = 0xBF; // the range of the second byte
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
        else if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
        char32_t code = lead & (0x3F >> more);
        bool good = more > 0;
        for (size_t k = 0; good && k < more; ++k) {
            if (i == bytes.size() || !IsContinuation(static_cast<unsigned char>(bytes[i]))) {
                good = false;
                break;
            }
            const auto c = static_cast<unsigned char>(bytes[i++]);
            if (k == 0 && (c < low || c > high))
                good = false;
            code = code << 6 | (c & 0x3F);
        }
        if (!good)
            out += kReplacement;
        else if (code < 0x10000)
            out += static_cast<char16_t>(code);
        else {
            out += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
    }
}

Text Decode(std::string_view bytes)
{
    Text text;
    const auto starts = [&](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
    if (starts("\xEF\xBB\xBF")) {
        text.unicode = true;
        DecodeUtf8(bytes.substr(3), text.units);
    } else if (starts("\xFF\xFE") || starts("\xFE\xFF")) {
        text.unicode = true;
        const bool little = bytes[0] == '\xFF';
        // An odd last byte is read as if a zero byte followed it.
        for (size_t i = 2; i < bytes.size(); i += 2) {
            const auto a = static_cast<unsigned char>(bytes[i]);
            const auto b = static_cast<unsigned char>(i + 1 < bytes.size() ? bytes[i + 1] : '\0');
            text.units += static_cast<char16_t>(little ? a | b << 8 : a << 8 | b);
        }
    } else {
        for (const char c : bytes)
            text.units += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    return text;
}

// A character the code page lacks comes out as '?'. Windows picks a look-alike for some of
// them ('A' for U+0100, ' ' for U+3000); an allow-list has no use for those.
char ToAnsi(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    const auto* it = std::find(kCp1252High.begin(), kCp1252High.end(), c);
    return it == kCp1252High.end() ? '?' : static_cast<char>(0x80 + (it - kCp1252High.begin()));
}

// Ctrl-Z counts as a blank: DOS editors left it at the end of the file.
bool IsBlank(char16_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == 0x1A;
}

std::u16string_view Trim(std::u16string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Names and values are C strings once read: a NUL ends them (after the blanks were trimmed).
std::u16string_view UpToNul(std::u16string_view s)
{
    return s.substr(0, s.find(u'\0'));
}

// Case-insensitive for ASCII letters, which is all our names have.
bool SameName(std::u16string_view inFile, std::string_view wanted)
{
    const auto lower = [](char16_t c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c - 'A' + 'a') : c;
    };
    return inFile.size() == wanted.size() &&
           std::equal(inFile.begin(), inFile.end(), wanted.begin(), [&](char16_t x, char y) {
               return lower(x) == lower(static_cast<char16_t>(static_cast<unsigned char>(y)));
           });
}

std::string_view TrimSpaces(std::string_view s)
{
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

} // namespace

bool FindProfileString(std::string_view bytes, std::string_view section, std::string_view key,
                       std::string& value)
{
    section = TrimSpaces(section);
    key = TrimSpaces(key);
    const Text text = Decode(bytes);
    std::u16string_view rest = text.units;
    bool inSection = false;
    while (!rest.empty()) {
        const size_t end = rest.find_first_of(u"\r\n");
        const std::u16string_view line = Trim(rest.substr(0, end));
        rest = end == std::u16string_view::npos ? std::u16string_view() : rest.substr(end + 1);

        if (line.empty() || line.front() == ';')
            continue;
        // A header runs to the last ']' of its line; without one the line is an ordinary entry.
        const size_t close = line.front() == '[' ? line.rfind(']') : std::u16string_view::npos;
        if (close != std::u16string_view::npos) {
            if (inSection)
                return false; // a later section of the same name is not read
            inSection = SameName(UpToNul(Trim(line.substr(1, close - 1))), section);
            continue;
        }
        if (!inSection)
            continue;
        const size_t eq = line.find('=');
        if (!SameName(UpToNul(Trim(line.substr(0, eq))), key))
            continue;
        // The first entry of the name decides; the name alone, without '=', has no value.
        if (eq == std::u16string_view::npos)
            return false;
        std::u16string_view found = UpToNul(Trim(line.substr(eq + 1)));
        // One pair of surrounding quotes is taken off.
        if (found.size() >= 2 && (found.front() == '"' || found.front() == '\'') &&
            found.back() == found.front())
            found = found.substr(1, found.size() - 2);
        value.clear();
        for (const char16_t c : found)
            value += text.unicode ? ToAnsi(c) : static_cast<char>(c);
        return true;
    }
    return false;
}

} // namespace belvor::platform
