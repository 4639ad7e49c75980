// One suite for every kind of line: the fake device, and a real tty line
// (a pty natively, a null-modem pair of COM ports under Wine).
#include "support/test_line.h"
#include "support/test_port.h"

#include <gtest/gtest.h>

using namespace belvor;
using namespace belvor::test;

namespace {

constexpr uint16_t kRealPort = 30;

class SerialLine : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { Line = GetParam() ? MakeRealLine(kRealPort) : MakeFakeLine(); }
    std::unique_ptr<TestLine> Line;
};

std::string EveryByteValue()
{
    std::string s;
    for (int i = 0; i < 256; ++i)
        s.push_back(static_cast<char>(i));
    return s;
}

} // namespace

TEST_P(SerialLine, BytesReachDataReceivedUnchangedAndInOrder)
{
    TestPort port(Line->PortNumber());
    port.SetBaudRate(9600);
    port.SetParity(0);
    port.SetDataBits(8);
    port.SetStopBits(1);
    std::string sent = EveryByteValue() + "\r\n\r12AB\r";
    for (int i = 0; i < 3000; ++i)
        sent.push_back(static_cast<char>('0' + i % 43));
    // In pieces, as a scanner sends them, with pauses the worker may fall into.
    for (size_t at = 0; at < sent.size(); at += 700) {
        Line->Write(sent.substr(at, 700));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    ASSERT_TRUE(port.WaitForBytes(sent.size())) << "got " << port.Received().size() << " of " << sent.size();
    EXPECT_EQ(port.Received(), sent);
    int32_t total = 0;
    for (int32_t count : port.Counts())
        total += count;
    EXPECT_EQ(static_cast<size_t>(total), sent.size()) << "each call announces exactly what it stored";
}

TEST_P(SerialLine, PurgeDropsWhatArrivedBeforeIt)
{
    TestPort port(Line->PortNumber(), /*enable=*/false);
    Line->Write("stale bytes");
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let them reach the device
    port.Purge();
    port.EnableDataReceived();
    Line->Write("fresh");
    ASSERT_TRUE(port.WaitForBytes(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(port.Received(), "fresh");
}

TEST_P(SerialLine, SecondOpenOfTheSamePortIsRefused)
{
    if (!Line->RefusesSecondOpen())
        GTEST_SKIP() << "this line's system does not refuse a second open";
    TestPort first(Line->PortNumber());
    try {
        TestPort second(Line->PortNumber());
        FAIL() << "the second open must fail";
    } catch (const EOpenPortFail& e) {
        EXPECT_NE(e.NativeError(), 0u) << "the system's reason is kept";
    }
    // The first port still works.
    Line->Write("still mine");
    EXPECT_TRUE(first.WaitForBytes(10));
}

TEST_P(SerialLine, CloseStopsTheWorkerPromptlyAndPortReopens)
{
    for (int round = 0; round < 5; ++round) {
        TestPort port(Line->PortNumber());
        Line->Write("x");
        ASSERT_TRUE(port.WaitForBytes(1));
        const auto start = std::chrono::steady_clock::now();
        port.Close();
        // Generous: this guards against a hang, not a speed goal.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        EXPECT_FALSE(port.Opened());
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, SerialLine, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return param.param ? "Real" : "Fake";
                         });
