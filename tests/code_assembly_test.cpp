// The driver object on a fake device: line set-up, and the reads it feeds its
// code assembler, made with the file's keys.
#include "driver/Testing.h"
#include "support/config_file.h"
#include "support/fake_serial_device.h"
#include "support/probed_driver.h"
#include "support/test_port.h"

#include <gtest/gtest.h>

using namespace belvor;
using namespace belvor::test;

namespace {

class CodeAssembly : public ::testing::Test {
protected:
    void SetUp() override { WriteConfig(std::nullopt); }
    void TearDown() override { WriteConfig(std::nullopt); }

    // The codes the driver has queued once at least n are there (bounded wait).
    static std::vector<std::string> Codes(TBelvor& driver, size_t n)
    {
        Eventually([&] { return driver.QueueCount() >= n; });
        std::vector<std::string> codes;
        std::string code;
        while (driver.QueueHead(code)) {
            codes.push_back(code);
            driver.QueueRemoveHead();
        }
        return codes;
    }

    // Waits (bounded) until the worker has gone through n more cycles, or
    // sleeps until news.
    bool Cycles(int n) { return Line.Idle(n); }

    std::unique_ptr<ProbedDriver> Start(uint8_t port = 3)
    {
        auto driver = std::make_unique<ProbedDriver>(port);
        driver->StartReceiving();
        return driver;
    }

    LiveFakeLine Line;
};

using CodeList = std::vector<std::string>;

} // namespace

TEST_F(CodeAssembly, SetsTheLineUpForTheScanner)
{
    Line.State = {115200, 7, 2, 2};
    auto driver = Start();
    EXPECT_EQ(driver->BaudRate(), 9600u);
    const auto state = Line.CurrentState();
    EXPECT_EQ(state.BaudRate, 9600u);
    EXPECT_EQ(state.DataBits, 8);
    EXPECT_EQ(state.Parity, 0);
    EXPECT_EQ(state.StopBits, 1);
    EXPECT_EQ(driver->Allow(), kDefaultAllow);
}

// The assembler's own cases are in code_assembler_test.cpp, the keys' in
// codes_test.cpp; here, that a driver feeds it the bytes of each read as they come.
TEST_F(CodeAssembly, JoinsACodeAcrossReadsAndNeverEmitsWithoutCarriageReturn)
{
    auto driver = Start();
    Line.Feed("1a2");
    ASSERT_TRUE(Eventually([&] { return driver->Handled >= 1; }));
    ASSERT_TRUE(Cycles(3));
    EXPECT_EQ(driver->QueueCount(), 0u) << "a pause does not end a code";
    Line.Feed("3\r\n45");
    EXPECT_EQ(Codes(*driver, 1), CodeList{"123"}) << "the default allow-list, one code";
    ASSERT_TRUE(Eventually([&] { return Line.Waiting() == 0 && driver->Handled >= 2; }));
    ASSERT_TRUE(Cycles(3));
    EXPECT_EQ(driver->QueueCount(), 0u) << "45 waits for its carriage return";
}

TEST_F(CodeAssembly, BytesArrivingBeforeTheDriverIsReadyAreKept)
{
    auto driver = std::make_unique<ProbedDriver>(3);
    Line.Feed("77\r");
    ASSERT_TRUE(Cycles(3));
    EXPECT_EQ(driver->Handled, 0) << "nothing reaches a driver that is not ready";
    EXPECT_EQ(Line.Waiting(), 3u) << "the bytes wait in the device";
    driver->StartReceiving();
    EXPECT_EQ(Codes(*driver, 1), CodeList{"77"});
}

TEST_F(CodeAssembly, PortZeroFailsWithItsMessage)
{
    try {
        TBelvor driver(0);
        FAIL() << "construction on port 0 must fail";
    } catch (const EPortNotOpen& e) {
        EXPECT_STREQ(e.what(), "Port COM0 not open");
    }
}

// Each driver assembles with the file's Allow, End and MaxLength as they were
// when it was created.
TEST_F(CodeAssembly, EachDriverAssemblesAsTheFileSaidWhenItWasCreated)
{
    WriteConfig("[Chars]\r\nAllow=XYZ\r\n[Code]\r\nEnd=10\r\nMaxLength=3\r\n");
    auto first = Start(3);
    WriteConfig("[chars]\n  allow = 0123 \n");
    auto second = Start(4);
    EXPECT_EQ(first->Allow(), "XYZ");
    EXPECT_EQ(second->Allow(), "0123");
    Line.FeedPort(3, "XaYZ\rX\nY\n");
    Line.FeedPort(4, "0x1XYZ\n23\r");
    EXPECT_EQ(Codes(*first, 2), (CodeList{"XYZ", "Y"})) << "cut at 3, ended by LF";
    EXPECT_EQ(Codes(*second, 1), CodeList{"0123"});
}
