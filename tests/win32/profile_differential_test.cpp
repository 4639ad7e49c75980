// GetPrivateProfileStringA against our own reader (which Linux uses), file by file: the same
// Belvor.ini must give the same allow-list on both systems.
#include "platform/profile.h"
#include "support/file_bytes.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <random>
#include <string_view>

namespace fs = std::filesystem;
using namespace std::string_view_literals;

namespace {

constexpr char kDefault[] = "0123456789ABCDEF";

std::string Printable(std::string_view s)
{
    std::string out;
    for (const unsigned char c : s.substr(0, 300)) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, static_cast<char>(c)) : hex;
    }
    return s.size() > 300 ? out + "...(" + std::to_string(s.size()) + " bytes)" : out;
}

// Pieces of INI text, chosen for the rules they touch; the high bytes also make good and
// bad UTF-8 when the text gets a UTF-8 byte-order mark.
constexpr std::string_view kSyntax[] = {"[",  "]",  "=",    ";",  "\"",   "'", " ",
                                        "\t", "\v", "\x1A", "\r", "\0"sv, "#", "x y"};
constexpr std::string_view kHighBytes[] = {
    "\x80\xA0",        "\xE9", "\xFF", "\xC3", "\xC3\xA9", "\xE2\x82\xAC", "\xED\xA0\x80", "\xF0\x9F\x98\x80",
    "\xF4\x90\x80\x80"};
constexpr std::string_view kHeaders[] = {"[Chars]", "[Chars]",  "[chars]",   " [ CHARS ]\t", "[cHaRs",
                                         "[Other]", "[Chars]]", "[Chars];c", "[]",           "[Ch\0ars]"sv};
constexpr std::string_view kNames[] = {"Allow", "allow",  " ALLOW\t",   "aLLow",
                                       "Deny",  ";Allow", "Allow\0x"sv, ""};
constexpr std::string_view kEquals[] = {"=", "=", " = ", "", "=="};
constexpr std::string_view kLineEnds[] = {"\n", "\n", "\r\n", "\r\n", "\r", "\n\n", ""};

// Bytes as the Latin-1 characters of the same numbers, with a UTF-16 byte-order mark.
std::string Utf16(std::string_view text, bool little)
{
    std::string out = little ? "\xFF\xFE" : "\xFE\xFF";
    for (const char c : text)
        out += little ? std::string{c, '\0'} : std::string{'\0', c};
    return out;
}

// Lines that are mostly headers and entries, with pieces of everything else among them.
std::string Generate(std::mt19937& random)
{
    const auto pick = [&](const auto& list) { return list[random() % std::size(list)]; };
    std::string text;
    for (uint32_t line = 0, lines = 1 + random() % 8; line < lines; ++line) {
        if (random() % 8 == 0)
            text += pick(kSyntax);
        if (line == 0 || random() % 6 == 0)
            text += pick(kHeaders);
        else
            (text += pick(kNames)) += pick(kEquals);
        for (uint32_t n = random() % 4; n > 0; --n)
            text += random() % 3 ? pick(kSyntax) : pick(kHighBytes);
        text += pick(kLineEnds);
    }
    const uint32_t mark = random() % 10;
    return mark == 0 ? "\xEF\xBB\xBF" + text : mark < 3 ? Utf16(text, mark == 1) : text;
}

class ProfileDifferential : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(Dir(), ignored);
        fs::create_directories(Dir());
    }

    static fs::path Dir() { return fs::temp_directory_path() / "belvor-profile-differential"; }

    // Each text gets a file name of its own: Windows caches the files it has read. True when
    // the file had a value.
    bool Compare(const std::string& name, const std::string& text)
    {
        // UTF-16 with a half character at its end: Wine reads the other half from
        // past the file's end, garbage one run in several. Our reading of it is
        // held to its expected file instead (profile_test).
        const bool utf16 = text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF");
        if (utf16 && text.size() % 2 != 0)
            return false;
        const fs::path path = Dir() / (std::to_string(FNext++) + ".ini");
        std::ofstream(path, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
        const std::string windows =
            belvor::platform::ReadProfileString(path.string().c_str(), "Chars", "Allow", kDefault);
        std::string ours;
        if (!belvor::platform::FindProfileString(text, "Chars", "Allow", ours))
            ours = kDefault;
        EXPECT_TRUE(windows == ours) << name << "\n  text:    " << Printable(text)
                                     << "\n  Windows: " << Printable(windows)
                                     << "\n  ours:    " << Printable(ours);
        fs::remove(path);
        return windows != kDefault;
    }

    void CompareDirectory(const fs::path& dir, size_t atLeast)
    {
        size_t files = 0;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().extension() == ".expected" || entry.path().extension() == ".md")
                continue;
            const std::string text = belvor::test::ReadBytes(entry.path());
            Compare(entry.path().filename().string(), text);
            // A fuzz input is a value line, then the INI text.
            if (const size_t lf = text.find('\n'); lf != std::string::npos)
                Compare(entry.path().filename().string() + " after its first line", text.substr(lf + 1));
            ++files;
        }
        EXPECT_GE(files, atLeast) << dir;
    }

    unsigned FNext = 0;
};

} // namespace

TEST_F(ProfileDifferential, HandWrittenAndFuzzCorpora)
{
    CompareDirectory(BELVOR_PROFILE_CORPUS, 60);
    CompareDirectory(BELVOR_PROFILE_FUZZ_CORPUS, 6);
}

TEST_F(ProfileDifferential, GeneratedTexts)
{
    std::mt19937 random(20261207);
    int values = 0;
    for (int i = 0; i < 600; ++i)
        values += Compare("generated text " + std::to_string(i), Generate(random));
    EXPECT_GE(values, 100) << "too few texts with a value to compare";
}
