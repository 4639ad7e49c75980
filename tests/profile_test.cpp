// The INI reader behind the allow-list, with the private-profile rules.
#include "platform/profile.h"

#include <gtest/gtest.h>

using belvor::platform::FindProfileString;

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

TEST(Profile, FirstOccurrenceWinsAcrossRepeatedSections)
{
    EXPECT_EQ(Find("[Chars]\nAllow=1\nAllow=2\n"), "1");
    EXPECT_EQ(Find("[Chars]\nX=0\n[Other]\nAllow=9\n[Chars]\nAllow=3\n"), "3");
}

TEST(Profile, CommentsQuotesAndOddBytes)
{
    EXPECT_EQ(Find("; [Chars]\n[Chars]\n;Allow=1\nAllow=2\n"), "2");
    EXPECT_EQ(Find("[Chars]\nAllow=\"AB \"\n"), "AB ") << "one pair of quotes comes off";
    EXPECT_EQ(Find("[Chars]\nAllow='\n"), "'");
    EXPECT_EQ(Find("[Chars]\nAllow=a=b\n"), "a=b");
    EXPECT_EQ(Find("[Chars]\nAllow=\xC0\xE1\xFF\n"), "\xC0\xE1\xFF");
    EXPECT_EQ(Find(std::string("[Chars]\nAllow=A\0B\n", 17)), std::string("A\0B", 3));
}
