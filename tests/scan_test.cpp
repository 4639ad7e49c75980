// The scan callback and ParseScan through the exports' bodies on the fake
// device: what a code is (identifier, type, label, GS1 fields), which
// callback gets it, and the codes that came without an identifier, counted.
#include "driver/Testing.h"
#include "support/driver_fixture.h"

#include <gtest/gtest.h>
#include <mutex>

using namespace belvor;
using namespace belvor::test;

namespace {

// A BelvorScan copied out of its call.
struct SeenScan {
    int32_t Driver = 0;
    std::string Data, Label, Aim;
    uint32_t Type = 0, Flags = 0;
    std::vector<std::pair<std::string, std::string>> Fields;
    std::vector<uint32_t> Errors;
    void* Context = nullptr;
};

std::mutex gScansMutex;
std::vector<SeenScan> gScans;

std::string Text(const unsigned char* bytes, uint32_t n)
{
    return std::string(reinterpret_cast<const char*>(bytes), n);
}

void BELVOR_CALL OnScan(const BelvorScan* scan, void* context)
{
    SeenScan seen{scan->driver,
                  Text(scan->data, scan->data_length),
                  Text(scan->label, scan->label_length),
                  scan->aim,
                  scan->type,
                  scan->flags,
                  {},
                  {},
                  context};
    for (uint32_t i = 0; i < scan->field_count; ++i)
        seen.Fields.emplace_back(scan->fields[i].ai,
                                 Text(scan->fields[i].value, scan->fields[i].value_length));
    for (uint32_t i = 0; i < scan->error_count; ++i)
        seen.Errors.push_back(scan->errors[i].kind);
    std::lock_guard<std::mutex> guard(gScansMutex);
    gScans.push_back(std::move(seen));
}

std::vector<SeenScan> Scans()
{
    std::lock_guard<std::mutex> guard(gScansMutex);
    return gScans;
}

std::vector<std::string> gCodeProcCodes;
void BELVOR_CALL OnTaggedCode(int32_t, const unsigned char* data, uint32_t length, void*)
{
    std::lock_guard<std::mutex> guard(gScansMutex);
    gCodeProcCodes.push_back(Text(data, length));
}

class Scan : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        std::lock_guard<std::mutex> guard(gScansMutex);
        gScans.clear();
        gCodeProcCodes.clear();
    }
    void TearDown() override
    {
        SetScanProcImpl(nullptr, nullptr);
        SetCodeProcImpl(nullptr, nullptr);
        DriverTest::TearDown();
    }
    // What the ScanProc got of the bytes, on a new driver on COM3 made with
    // the file given, once n scans have come.
    std::vector<SeenScan> ScansOf(const std::string& file, const std::string& bytes, size_t n)
    {
        WriteConfig(file);
        EXPECT_EQ(InitDriverImpl(3, &OnCode), 0);
        SetScanProcImpl(&OnScan, nullptr);
        Line.Feed(bytes);
        EXPECT_TRUE(Eventually([n] { return Scans().size() == n; }));
        return Scans();
    }

    LiveFakeLine Line;
};

const std::string kGs1 = "]d201095011015300031725010010ABC\x1d"
                         "21XYZ";

} // namespace

TEST_F(Scan, TheScanProcGetsWhatACodeIsBeforeTheCodeProcAndTheEventProc)
{
    WriteConfig("[Chars]\r\nAllowCodes=29,32-126\r\n[Code]\r\nSymbologyId=Aim\r\n");
    int context = 0;
    ASSERT_EQ(InitDriverImpl(3, &OnCode), 0);
    SetCodeProcImpl(&OnTaggedCode, nullptr);
    EXPECT_EQ(SetScanProcImpl(&OnScan, &context), nullptr);
    Line.Feed(kGs1 + "\r");
    ASSERT_TRUE(Eventually([] { return Scans().size() == 1; }));
    const SeenScan scan = Scans()[0];
    EXPECT_EQ(scan.Driver, 0);
    EXPECT_EQ(scan.Context, &context);
    EXPECT_EQ(scan.Data, kGs1);
    EXPECT_EQ(scan.Label, kGs1.substr(3));
    EXPECT_EQ(scan.Aim, "]d2");
    EXPECT_EQ(scan.Type, 208u);
    EXPECT_EQ(scan.Flags, static_cast<uint32_t>(BELVOR_SCAN_IDENTIFIED | BELVOR_SCAN_GS1));
    EXPECT_EQ(scan.Fields, (std::vector<std::pair<std::string, std::string>>{
                               {"01", "09501101530003"}, {"17", "250100"}, {"10", "ABC"}, {"21", "XYZ"}}));
    EXPECT_TRUE(scan.Errors.empty());

    // Cleared, the code goes where it went before, as received.
    EXPECT_EQ(SetScanProcImpl(nullptr, nullptr), &OnScan);
    Line.Feed(kGs1 + "\r");
    ASSERT_TRUE(Eventually([] {
        std::lock_guard<std::mutex> guard(gScansMutex);
        return gCodeProcCodes.size() == 1;
    }));
    EXPECT_EQ(gCodeProcCodes[0], kGs1);
    EXPECT_EQ(gCodes.Count(), 0u);
    EXPECT_EQ(Count(HostLogTexts(), kGs1), 2u) << "each code logged as received";
}

TEST_F(Scan, ACodeWithoutAnIdentifierComesAsItCameTypedUnknownAndCounted)
{
    // The default allow-list: the identifier's characters are kept all the same.
    const std::vector<SeenScan> scans =
        ScansOf("[Code]\r\nSymbologyId=Aim\r\n", "]E04006381333931\r12345\r", 2);
    ASSERT_EQ(scans.size(), 2u);
    EXPECT_EQ(scans[0].Type, 104u) << "EAN-13";
    EXPECT_EQ(scans[0].Label, "4006381333931");
    EXPECT_EQ(scans[0].Fields, (std::vector<std::pair<std::string, std::string>>{{"01", "04006381333931"}}));
    EXPECT_EQ(scans[1].Type, 0u);
    EXPECT_EQ(scans[1].Aim, "");
    EXPECT_EQ(scans[1].Label, "12345");
    EXPECT_EQ(scans[1].Flags, 0u);
    EXPECT_EQ(StatsOf(0).codes_unidentified, 1u);
}

TEST_F(Scan, WithoutTheKeyNothingIsReadAsAnIdentifierButADigitalLinkIsRead)
{
    const std::vector<SeenScan> scans =
        ScansOf("[Chars]\r\nAllowCodes=32-126\r\n",
                "]E04006381333931\rhttps://id.example.com/01/09506000134352/10/AB%2F1?17=251231\r", 2);
    ASSERT_EQ(scans.size(), 2u);
    EXPECT_EQ(scans[0].Type, 0u);
    EXPECT_EQ(scans[0].Label, "]E04006381333931");
    EXPECT_TRUE(scans[0].Fields.empty());
    EXPECT_EQ(scans[1].Flags, static_cast<uint32_t>(BELVOR_SCAN_GS1 | BELVOR_SCAN_DIGITAL_LINK));
    EXPECT_EQ(scans[1].Fields, (std::vector<std::pair<std::string, std::string>>{
                                   {"01", "09506000134352"}, {"10", "AB/1"}, {"17", "251231"}}));
    EXPECT_EQ(StatsOf(0).codes_unidentified, 0u) << "counted only when identifiers are expected";
}

TEST_F(Scan, ParseScanReadsACodeGotElsewhereOnTheCallersThread)
{
    const std::string ean = "]E04006381333931";
    const auto* bytes = reinterpret_cast<const unsigned char*>(ean.data());
    const struct {
        const unsigned char* data;
        uint32_t length;
        ScanProc proc;
        int32_t result;
    } cases[] = {
        {bytes, static_cast<uint32_t>(ean.size()), &OnScan, 0},
        {nullptr, 0, &OnScan, 0},
        {bytes, static_cast<uint32_t>(ean.size()), nullptr, -1},
        {nullptr, 1, &OnScan, -1},
        {bytes, 8193, &OnScan, -1},
    };
    size_t calls = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(ParseScanImpl(c.data, c.length, BELVOR_PARSE_AIM, c.proc, nullptr), c.result);
        calls += c.result == 0;
        ASSERT_EQ(Scans().size(), calls) << "one call when it succeeds, none when it fails";
    }
    EXPECT_EQ(Scans()[0].Driver, -1);
    EXPECT_EQ(Scans()[0].Type, 104u);
    EXPECT_EQ(Scans()[1].Label, "");
    ASSERT_EQ(ParseScanImpl(bytes, static_cast<uint32_t>(ean.size()), 0, &OnScan, nullptr), 0);
    EXPECT_EQ(Scans().back().Label, ean) << "without the flag the identifier is not read";
}
