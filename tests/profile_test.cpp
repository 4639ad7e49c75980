// The INI reader behind the allow-list, with the private-profile rules.
#include "platform/profile.h"
#include "support/file_bytes.h"

#include <gtest/gtest.h>

using belvor::platform::FindProfileString;
using belvor::platform::HasTextAfterValue;
using belvor::platform::ReadProfileString;

namespace {

std::string Find(const std::string& text, const char* section = "Chars", const char* key = "Allow")
{
    std::string value = "<missing>";
    if (!FindProfileString(text, section, key, value))
        return "<missing>";
    return value;
}

} // namespace

TEST(Profile, NamesAreCaseInsensitiveAndTrimmed)
{
    EXPECT_EQ(Find("[Chars]\r\nAllow=AB\r\n"), "AB");
    EXPECT_EQ(Find("  [ chars ]  \n\t ALLOW \t=  A B  \n"), "A B") << "inner spaces stay";
    EXPECT_EQ(Find("[Chars]\nAllow=AB"), "AB") << "no line end after the last line";
}

TEST(Profile, MissingAndEmptyAreDifferent)
{
    EXPECT_EQ(Find("[Chars]\nAllow=\n"), "");
    EXPECT_EQ(Find("[Chars]\nAllow   \n"), "<missing>") << "a line without = is no key";
    EXPECT_EQ(Find("[Chars]\nDeny=1\n"), "<missing>");
    EXPECT_EQ(Find("Allow=1\n[Chars]\n"), "<missing>") << "keys before any section belong to none";
    EXPECT_EQ(Find("[Other]\nAllow=1\n[Chars]\n"), "<missing>");
    EXPECT_EQ(Find(""), "<missing>");
}

TEST(Profile, OnlyTheFirstSectionAndTheFirstEntryOfANameCount)
{
    EXPECT_EQ(Find("[Chars]\nAllow=1\nAllow=2\n"), "1");
    EXPECT_EQ(Find("[Chars]\nX=0\n[Other]\nAllow=9\n[Chars]\nAllow=3\n"), "<missing>");
}

TEST(Profile, CommentsQuotesAndOddBytes)
{
    EXPECT_EQ(Find("; [Chars]\n[Chars]\n;Allow=1\nAllow=2\n"), "2");
    EXPECT_EQ(Find("[Chars]\nAllow=\"AB \"\n"), "AB ") << "one pair of quotes comes off";
    EXPECT_EQ(Find("[Chars]\nAllow='\n"), "'");
    EXPECT_EQ(Find("[Chars]\nAllow=a=b\n"), "a=b");
    EXPECT_EQ(Find("[Chars]\nAllow=\xC0\xE1\xFF\n"), "\xC0\xE1\xFF");
    EXPECT_EQ(Find(std::string("[Chars]\nAllow=A\0B\n", 17)), "A") << "a NUL ends the value";
}

TEST(Profile, TextAfterAValueIsToldApart)
{
    for (const auto& [value, after] :
         std::initializer_list<std::pair<const char*, bool>>{{"255   ; the longest", true},
                                                             {"; no characters", true},
                                                             {"12\t;x", true},
                                                             {"A;B", false},
                                                             {"AB ", false},
                                                             {"", false},
                                                             {"29, 32-126", false}})
        EXPECT_EQ(HasTextAfterValue(value), after) << "'" << value << "'";
}

// Each file of the corpus with the value Windows gives for it (the differential test holds
// Windows to the same files), or none where Windows gives the default.
TEST(Profile, CorpusGivesTheWindowsValues)
{
    namespace fs = std::filesystem;
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(BELVOR_PROFILE_CORPUS)) {
        if (entry.path().extension() != ".ini")
            continue;
        fs::path expected = entry.path();
        expected.replace_extension(".expected");
        EXPECT_EQ(Find(belvor::test::ReadBytes(entry.path())),
                  fs::exists(expected) ? belvor::test::ReadBytes(expected) : "<missing>")
            << entry.path().filename();
        ++files;
    }
    EXPECT_GE(files, 60u);
}

TEST(Profile, DefaultLosesTrailingSpaces)
{
    EXPECT_EQ(ReadProfileString("no-such-dir/none.ini", "Chars", "Allow", " AB \t  "), " AB \t");
}
