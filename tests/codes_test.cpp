// Codes as configured: bytes allowed by value, other end bytes, longer codes
// and the record of a cut one, values that cannot be read; and SetCodeProc,
// which tells the host which driver read a code. Through the exports' bodies
// on the fake device, on both builds (Windows reads Belvor.ini through
// GetPrivateProfileStringA, Linux through its own reader).
#include "driver/Testing.h"
#include "logging/Logger.h"
#include "platform/errors.h"
#include "support/driver_fixture.h"

#include <algorithm>
#include <cinttypes>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace belvor;
using namespace belvor::test;

namespace {

// What a CodeProc saw: driver index, code, context.
struct Tagged {
    int32_t Driver;
    std::string Code;
    void* Context;
    bool operator==(const Tagged&) const = default;
};
std::mutex gTaggedMutex;
std::vector<Tagged> gTagged;
CallbackHook gTagHook;

void BELVOR_CALL OnTagged(int32_t driver, const unsigned char* data, uint32_t length, void* context)
{
    {
        std::lock_guard<std::mutex> guard(gTaggedMutex);
        gTagged.push_back({driver, std::string(reinterpret_cast<const char*>(data), length), context});
    }
    gTagHook.Call(data);
}

std::vector<Tagged> TaggedCodes()
{
    std::lock_guard<std::mutex> guard(gTaggedMutex);
    return gTagged;
}

// The bytes of a set, by value.
std::string Members(const std::array<bool, 256>& set)
{
    std::string members;
    for (int b = 0; b < 256; ++b)
        if (set[static_cast<size_t>(b)])
            members.push_back(static_cast<char>(b));
    return members;
}

// OnCode is the EventProc here, OnTagged the CodeProc.
class Codes : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        {
            std::lock_guard<std::mutex> guard(gTaggedMutex);
            gTagged.clear();
        }
        gTagHook.Set(nullptr);
    }
    void TearDown() override
    {
        DriverTest::TearDown();
        gTagHook.Set(nullptr);
    }
    // Sends the bytes on COM3 (to a new driver there unless one is live) and
    // returns the codes the EventProc got once there are n.
    std::vector<std::string> Receive(const std::string& bytes, size_t n)
    {
        if (DriverTable.DriverCount == 0) {
            EXPECT_EQ(InitDriverImpl(3, &OnCode), 0);
        }
        Line.Feed(bytes);
        EXPECT_TRUE(WaitCodes(n));
        return gCodes.Codes();
    }

    LiveFakeLine Line;
};

} // namespace

TEST(Settings, ValuesAndByteSets)
{
    uint32_t v = 0;
    EXPECT_TRUE(ParseValue(" 29 ", 0, 255, v) && v == 29);
    EXPECT_TRUE(ParseValue("0x1D", 0, 255, v) && v == 29);
    EXPECT_TRUE(ParseValue("0X7e", 0, 255, v) && v == 126);
    for (const char* bad : {"", " ", "x", "0x", "12x", "1 2", "-1", "256", "0x100", "+5", "1.0", "999999999"})
        EXPECT_FALSE(ParseValue(bad, 0, 255, v)) << "'" << bad << "'";
    EXPECT_FALSE(ParseValue("0", 1, 255, v)) << "below the range";

    std::array<bool, 256> set{};
    ASSERT_TRUE(ParseByteSet("29, 32-34,0x41 - 0x42", set));
    EXPECT_EQ(Members(set), "\x1D !\"AB");
    std::array<bool, 256> untouched{};
    for (const char* bad : {"40-30", "29,", ",29", "29,,30", "1-2-3", "29;30", "0x20-", "300"})
        EXPECT_FALSE(ParseByteSet(bad, untouched)) << "'" << bad << "'";
    EXPECT_EQ(std::count(untouched.begin(), untouched.end(), true), 0) << "a bad list adds nothing";
    EXPECT_TRUE(ParseByteSet("  ", untouched)) << "an empty list is no bytes, not a bad one";
}

// The code keys as a driver reads them when it is created; how the assembler
// then cuts bytes into codes is its own table's (code_assembler_test.cpp).
TEST(Settings, CodeKeysFromTheFile)
{
    const std::string hex = kDefaultAllow;
    const struct {
        std::string file;
        std::string allow;   // as read
        std::string allowed; // the bytes a code may hold, by value
        uint8_t end;
    } cases[] = {
        {"[Chars]\r\nAllow=AB\r\n", "AB", "AB", 13},
        {"[Chars]\nAllow=\n", "", "", 13},
        // No such section or key: the default.
        {"[Chars]\nDeny=AB\n", hex, hex, 13},
        {"[Other]\nAllow=AB\n", hex, hex, 13},
        {"Allow=AB\n", hex, hex, 13},
        {"", hex, hex, 13},
        {"[chars]\n  allow = 0123 \n", "0123", "0123", 13},
        // AllowCodes adds bytes by value to Allow's characters.
        {"[Chars]\r\nAllow=AB\r\nAllowCodes=0x00, 9, 127-129, 0xFF\r\n", "AB",
         std::string("\0\tAB\x7F\x80\x81\xFF", 8), 13},
        {"[Chars]\r\nAllowCodes=9,10,13\r\n[Code]\r\nEnd=10\r\n", hex, "\t\n\r" + hex, 10},
        {"[Code]\r\nEnd=0x09\r\n", hex, hex, 9},
    };
    for (const auto& c : cases) {
        WriteConfig(c.file);
        const TDriverSettings s = ReadDriverSettings(platform::ConfigFilePath(), 3);
        EXPECT_EQ(s.Allow, c.allow) << c.file;
        EXPECT_EQ(Members(s.Allowed), c.allowed) << c.file;
        EXPECT_EQ(s.End, c.end) << c.file;
    }
    WriteConfig(std::nullopt);
}

TEST_F(Codes, WithNoFileEverythingIsAsBefore)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    TBelvor* driver = DriverTable.Drivers[0].load();
    EXPECT_EQ(driver->Allow(), kDefaultAllow);
    EXPECT_EQ(driver->MaxLength(), 104);
    EXPECT_EQ(driver->End(), 13);
    EXPECT_EQ(driver->WakeOnEvent(), EventModeRun()) << "no file: polling, unless this run asks for events";
    EXPECT_EQ(Receive("12ab\n\t\x1D" + std::string(120, '7') + "\r", 1),
              std::vector<std::string>{"12" + std::string(102, '7')});
}

TEST_F(Codes, Gs1DataMatrixArrivesWholeThroughTheCodeProc)
{
    WriteConfig("[Chars]\r\nAllow=\r\nAllowCodes=29, 32-126\r\n[Code]\r\nMaxLength=255\r\n");
    // A GS1 element string: GTIN, serial, then crypto fields after GS separators.
    std::string code = "0104650065470239215NkK%c!?t=Q4xY";
    while (code.size() < 150)
        code += "\x1D"
                "91EE10\x1D"
                "92dGVzdCBjcnlwdG8gdGFpbA==";
    code.resize(150);
    int context = 0;
    EXPECT_EQ(SetCodeProcImpl(&OnTagged, &context), nullptr);
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Feed(code + "\r");
    ASSERT_TRUE(Eventually([] { return !TaggedCodes().empty(); }));
    EXPECT_EQ(TaggedCodes(), (std::vector<Tagged>{{0, code, &context}}));
    EXPECT_EQ(gCodes.Count(), 0u) << "the EventProc gets nothing while a CodeProc is set";
    EXPECT_EQ(Count(HostLogTexts(), code), 1u) << "logged whole";
}

TEST_F(Codes, ValuesThatCannotBeReadCountAsAbsentAndAreLogged)
{
    WriteConfig("[Chars]\r\nAllow=12\r\nAllowCodes=40-30\r\n[Code]\r\nMaxLength=8193\r\nEnd=0x0Dx\r\n"
                "QueueLimit=1000001\r\n[Port]\r\n"
                "Reconnect=2\r\nWake=Sometimes\r\n");
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    TBelvor* driver = DriverTable.Drivers[0].load();
    EXPECT_EQ(driver->MaxLength(), 104);
    EXPECT_EQ(driver->End(), 13);
    EXPECT_EQ(driver->QueueLimit(), 65536u);
    EXPECT_FALSE(driver->WakeOnEvent()) << "polling, the default";
    const auto texts = HostLogTexts();
    for (const char* record :
         {"Belvor.ini: [Chars] AllowCodes=40-30 ignored", "Belvor.ini: [Code] MaxLength=8193 ignored",
          "Belvor.ini: [Code] QueueLimit=1000001 ignored", "Belvor.ini: [Code] End=0x0Dx ignored",
          "Belvor.ini: [Port] Reconnect=2 ignored", "Belvor.ini: [Port] Wake=Sometimes ignored"}) {
        EXPECT_EQ(Count(texts, record), 1u) << record;
        EXPECT_EQ(HostLogMarkOf(record), '!') << record;
    }
    EXPECT_EQ(Receive("1(2\r", 1), std::vector<std::string>{"12"}) << "Allow still counts, AllowCodes not";

    WriteConfig("[Code]\r\nMaxLength=0\r\nEnd=abc\r\nQueueLimit=0\r\n");
    ASSERT_EQ(InitDriverImpl(4, &OnCode), 1) << "a bad key never stops InitDriver";
    EXPECT_EQ(DriverTable.Drivers[1].load()->MaxLength(), 104);
    EXPECT_EQ(DriverTable.Drivers[1].load()->QueueLimit(), 65536u);
}

TEST_F(Codes, TheFirstDriverPlacesTheLogBeforeItsSettingsAreReported)
{
    const std::string missing = HostLogPath() + ".no-such-dir";
    WriteConfig("[Log]\r\nDir=" + missing + "\r\n[Chars]\r\nAllow=12 ;3\r\n[Code]\r\nEnd=x\r\n");
    ResetLoggerForTesting(); // this driver is the first again
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    EXPECT_EQ(HostLogTexts(),
              (std::vector<std::string>{
                  "Log directory " + missing + " cannot be used", "Belvor.ini: [Code] End=x ignored",
                  "Belvor.ini: [Chars] Allow: the text after the value is part of it (a "
                  "comment must stand on a line of its own)"}));
}

TEST_F(Codes, LongCodesReachTheCodeProcWholeAndTheEventProcCutTo255)
{
    WriteConfig("[Chars]\r\nAllow=\r\nAllowCodes=29, 32-126\r\n[Code]\r\nMaxLength=8192\r\n");
    std::string longest;
    for (size_t i = 0; longest.size() < 8200; ++i)
        longest += static_cast<char>(i % 3 == 0 ? 29 : 'a' + i % 26);
    const std::string medium = longest.substr(0, 3000);
    int context = 0;
    SetCodeProcImpl(&OnTagged, &context);
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    EXPECT_EQ(DriverTable.Drivers[0].load()->MaxLength(), 8192);
    Line.Feed(medium + "\r" + longest + "\r");
    ASSERT_TRUE(Eventually([] { return TaggedCodes().size() == 2; }));
    EXPECT_EQ(TaggedCodes(),
              (std::vector<Tagged>{{0, medium, &context}, {0, longest.substr(0, 8192), &context}}));

    SetCodeProcImpl(nullptr, nullptr);
    Line.Feed(medium + "\r" + medium.substr(0, 255) + "\r");
    ASSERT_TRUE(Eventually([] { return gCodes.Count() == 2; }));
    EXPECT_EQ(gCodes.Calls(), std::vector<std::string>(2, Counted(medium.substr(0, 255))));
    const auto texts = HostLogTexts();
    // Why a code is short is logged once, at level 3; right before the code: driver_test's burst.
    EXPECT_EQ(Count(texts, "Code cut at 8192 characters"), 1u);
    EXPECT_EQ(HostLogMarkOf("Code cut at 8192 characters"), '!');
    EXPECT_EQ(Count(texts, "Code cut at 255 characters"), 1u) << "only the code the EventProc got cut";
    EXPECT_EQ(HostLogMarkOf("Code cut at 255 characters"), '!');
}

TEST_F(Codes, AFullQueueDropsNewCodesCountsThemAndKeepsTheOrder)
{
    WriteConfig("[Code]\r\nQueueLimit=3\r\n");
    platform::Event entered(true), release(true), release12(true);
    gTagHook.Set([&](const unsigned char* data) {
        if (data[0] == '1') {
            entered.Set();
            (void)release.Wait(platform::kInfinite);
        }
    });
    SetCodeProcImpl(&OnTagged, nullptr);
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    TBelvor* driver = DriverTable.Drivers[0].load();
    Line.Feed("10\r");
    ASSERT_TRUE(entered.Wait(5000).ValueOr(false));
    // Two episodes: 10 (in the callback), 11 and 12 fill the queue, 13-19 are
    // dropped; then, with 12 in the callback, 20 and 21 fill it again and 22-24
    // are dropped.
    std::string burst;
    for (int n = 11; n <= 19; ++n)
        burst += std::to_string(n) + "\r";
    Line.Feed(burst);
    ASSERT_TRUE(Eventually([&] { return Line.Waiting() == 0; }));
    ASSERT_TRUE(Line.Idle(2));
    EXPECT_EQ(driver->QueueCount(), 3u) << "the queue never grows past its limit";
    gTagHook.Set([&](const unsigned char* data) {
        if (data[0] == '1' && data[1] == '2')
            (void)release12.Wait(platform::kInfinite);
    });
    release.Set();
    ASSERT_TRUE(Eventually([] { return TaggedCodes().size() == 3; }));
    Line.Feed("20\r21\r22\r23\r24\r");
    ASSERT_TRUE(Eventually([&] { return Line.Waiting() == 0; }));
    ASSERT_TRUE(Line.Idle(2));
    release12.Set();
    ASSERT_TRUE(Eventually([] { return Count(HostLogTexts(), "Queue full: 3 codes dropped") == 1; }));
    std::vector<std::string> got;
    for (const Tagged& t : TaggedCodes())
        got.push_back(t.Code);
    EXPECT_EQ(got, (std::vector<std::string>{"10", "11", "12", "20", "21"}));
    // Each count after the codes that came before its drops, one per episode.
    std::vector<std::string> order;
    for (const std::string& text : HostLogTexts())
        if (text.size() == 2 || text.starts_with("Queue full"))
            order.push_back(text);
    EXPECT_EQ(order, (std::vector<std::string>{"10", "11", "12", "Queue full: 7 codes dropped", "20", "21",
                                               "Queue full: 3 codes dropped"}));
    EXPECT_EQ(HostLogMarkOf("Queue full: 7 codes dropped"), '!');
}

TEST_F(Codes, ACommentAfterAValueIsPartOfItAndLoggedOnce)
{
    WriteConfig(
        "[Chars]\r\nAllow=12 ;3\r\nAllowCodes=52\r\n[Code]\r\nMaxLength=20\t; at most 20\r\nEnd=13\r\n");
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    EXPECT_EQ(DriverTable.Drivers[0].load()->MaxLength(), 104);
    const auto texts = HostLogTexts();
    const std::string after =
        ": the text after the value is part of it (a comment must stand on a line of its own)";
    for (const std::string& record :
         {"Belvor.ini: [Chars] Allow" + after, "Belvor.ini: [Code] MaxLength" + after,
          std::string("Belvor.ini: [Code] MaxLength=20\t; at most 20 ignored")}) {
        EXPECT_EQ(Count(texts, record), 1u) << record;
        EXPECT_EQ(HostLogMarkOf(record), '!') << record;
    }
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.starts_with("Belvor.ini"); }),
              3)
        << "nothing about the values without such text";
    EXPECT_EQ(Receive("1 2;3x4\r", 1), std::vector<std::string>{"1 2;34"}) << "Allow used as read";
}

TEST_F(Codes, CodeProcTellsTwoScannersApartAndTheCallbacksSwitch)
{
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    ASSERT_EQ(InitDriverImpl(4, &OnCode), 1);
    int context = 0;
    EXPECT_EQ(SetCodeProcImpl(&OnTagged, &context), nullptr);
    Line.FeedPort(4, "44\r");
    ASSERT_TRUE(Eventually([] { return TaggedCodes().size() == 1; }));
    Line.FeedPort(3, "33\r");
    ASSERT_TRUE(Eventually([] { return TaggedCodes().size() == 2; }));
    EXPECT_EQ(TaggedCodes(), (std::vector<Tagged>{{1, "44", &context}, {0, "33", &context}}));

    EXPECT_EQ(SetCodeProcImpl(nullptr, nullptr), &OnTagged);
    Line.FeedPort(3, "5\r");
    ASSERT_TRUE(Eventually([] { return gCodes.Count() == 1; }));
    EXPECT_EQ(gCodes.Calls(), std::vector<std::string>{Counted("5")}) << "back to the EventProc";
    EXPECT_EQ(TaggedCodes().size(), 2u);

    char text[96];
    std::snprintf(text, sizeof text, "CodeProc: 00000000 -> %08" PRIXPTR ", context %08" PRIXPTR,
                  reinterpret_cast<uintptr_t>(&OnTagged), reinterpret_cast<uintptr_t>(&context));
    EXPECT_EQ(Count(HostLogTexts(), text), 1u) << text;
}

TEST_F(Codes, CodeProcThatThrowsOrDestroysIsHandledAsTheEventProc)
{
    std::atomic<int32_t> destroyed{0};
    gTagHook.Set([&](const unsigned char* data) {
        if (data[0] == 'A')
            throw std::runtime_error("host failed");
        destroyed = DestroyDriverImpl();
    });
    SetCodeProcImpl(&OnTagged, nullptr);
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Feed("A\r7\r");
    ASSERT_TRUE(Eventually([] { return TaggedCodes().size() == 2; }));
    ASSERT_TRUE(Eventually([&] { return destroyed.load() != 0; }));
    EXPECT_EQ(destroyed.load(), -1) << "DestroyDriver from inside the CodeProc is refused";
    EXPECT_EQ(Count(HostLogTexts(), "Exception: host failed"), 1u);
    EXPECT_EQ(TaggedCodes()[1].Code, "7") << "the next code goes on";
}

TEST_F(Codes, ASwapReturnsOnlyOnceTheOldCallbackHasReturned)
{
    int oldContext = 0, newContext = 0, innerContext = 0;
    platform::Event entered(true), release(true);
    std::atomic<bool> swapReturned{false};
    std::atomic<int> swapReturnedInsideOldCall{-1};
    gTagHook.Set([&](const unsigned char*) {
        entered.Set();
        (void)release.Wait(platform::kInfinite);
        swapReturnedInsideOldCall = swapReturned.load() ? 1 : 0;
    });
    SetCodeProcImpl(&OnTagged, &oldContext);
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    Line.Feed("1\r");
    ASSERT_TRUE(entered.Wait(5000).ValueOr(false));
    std::thread host([&] {
        SetCodeProcImpl(&OnTagged, &newContext);
        swapReturned = true;
    });
    // The swap is under way once it has logged itself; only then is the old call let go.
    char text[96];
    std::snprintf(text, sizeof text, "CodeProc: %08" PRIXPTR " -> %08" PRIXPTR ", context %08" PRIXPTR,
                  reinterpret_cast<uintptr_t>(&OnTagged), reinterpret_cast<uintptr_t>(&OnTagged),
                  reinterpret_cast<uintptr_t>(&newContext));
    ASSERT_TRUE(Eventually([&] { return Count(HostLogTexts(), text) == 1; }));
    // From inside a callback a swap cannot wait for itself: it returns at once.
    gTagHook.Set([&](const unsigned char*) { SetCodeProcImpl(&OnTagged, &innerContext); });
    release.Set();
    host.join();
    EXPECT_EQ(swapReturnedInsideOldCall.load(), 0) << "the swap returned while the old call was under way";
    Line.Feed("2\r3\r");
    ASSERT_TRUE(Eventually([] { return TaggedCodes().size() == 3; }));
    EXPECT_EQ(TaggedCodes(),
              (std::vector<Tagged>{{0, "1", &oldContext}, {0, "2", &newContext}, {0, "3", &innerContext}}));
}
