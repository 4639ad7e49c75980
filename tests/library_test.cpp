// The built library, loaded at run time as a host loads it, on a real line:
// a pty natively, a null-modem pair of COM ports under Wine.
#include "logging/Logger.h"
#include "platform/errors.h"
#include "platform/process.h"
#include "support/collector.h"
#include "support/config_file.h"
#include "support/library_loader.h"
#include "support/log_reader.h"
#include "support/test_line.h"
#include "support/test_port.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace belvor;
using namespace belvor::test;

namespace {

constexpr uint16_t kPort = 31;

Collector gCalls;

void BELVOR_CALL OnCode(const unsigned char* s)
{
    gCalls.Add(s);
}

class Library : public ::testing::Test {
protected:
    // Loaded once, as a host loads it. Wine 8 cannot load it again after a
    // serial wait has run: the helper thread of its WaitCommEvent ends without
    // leaving the loader's thread list, and the next load of a library with
    // thread-local storage walks that list into freed memory.
    static void SetUpTestSuite() { Lib = LoadBelvor(); }
    static void TearDownTestSuite() { Lib.reset(); }

    void SetUp() override
    {
        WriteConfig(std::nullopt);
        ASSERT_NE(Lib, nullptr) << "the library must load";
        Api = Lib->ByName;
        ASSERT_NE(Api.InitDriver, nullptr);
        ASSERT_NE(Api.DestroyDriver, nullptr);
        ASSERT_NE(Api.SetEventProc, nullptr);
        gCalls.Clear();
    }
    void TearDown() override
    {
        if (Api.DestroyDriver)
            while (Api.DestroyDriver() > 0) {
            }
    }
    static inline std::unique_ptr<LoadedLibrary> Lib;
    BelvorApi Api;
};

} // namespace

TEST_F(Library, ExportsTheSixFunctionsByNameAndOrdinal)
{
    if (!Lib->HasOrdinals)
        GTEST_SKIP() << "no ordinals on this system";
    EXPECT_EQ(Lib->ByOrdinal.InitDriver, Api.InitDriver);
    EXPECT_EQ(Lib->ByOrdinal.DestroyDriver, Api.DestroyDriver);
    EXPECT_EQ(Lib->ByOrdinal.SetEventProc, Api.SetEventProc);
    EXPECT_EQ(Lib->ByOrdinal.SetCodeProc, Api.SetCodeProc) << "ordinal 4";
    EXPECT_EQ(Lib->ByOrdinal.SetStatusProc, Api.SetStatusProc) << "ordinal 5";
    EXPECT_EQ(Lib->ByOrdinal.GetDriverStats, Api.GetDriverStats) << "ordinal 6";
}

TEST_F(Library, ScannedCodesReachTheHost)
{
    // The log is kept from run to run: a fresh one cannot be rotated under the check.
    std::error_code ignored;
    std::filesystem::remove(HostLogPath(), ignored);
    auto line = MakeRealLine(kPort);
    ASSERT_EQ(Api.InitDriver(line->PortNumber(), &OnCode), 0);
    line->Write("12AB\r\n4006381333931\r12ab\r\r");
    ASSERT_TRUE(Eventually([] { return gCalls.Count() >= 4; }));
    EXPECT_EQ(gCalls.Calls(),
              (std::vector<std::string>{std::string("\x04"
                                                    "12AB",
                                                    5),
                                        Counted("4006381333931"), Counted("12"), std::string(1, '\0')}));
    EXPECT_EQ(Api.SetEventProc(nullptr), &OnCode);
    EXPECT_EQ(Api.DestroyDriver(), 0);
    EXPECT_EQ(Api.DestroyDriver(), -1);

    EXPECT_NE(ReadAll(HostLogPath()).find(" 4006381333931\r\n"), std::string::npos)
        << "codes are logged beside the host";
}

namespace {
std::mutex gTaggedMutex;
std::vector<std::pair<int32_t, std::string>> gTagged;
void BELVOR_CALL OnStatus(int32_t, int32_t, uint32_t, void*) {}

void BELVOR_CALL OnTagged(int32_t driver, const unsigned char* data, uint32_t length, void* context)
{
    std::lock_guard<std::mutex> guard(gTaggedMutex);
    gTagged.emplace_back(driver, std::string(reinterpret_cast<const char*>(data), length) +
                                     (context == &gTaggedMutex ? "" : " (wrong context)"));
}
} // namespace

TEST_F(Library, CodeProcGetsTheDriverTheCodeAndTheContext)
{
    ASSERT_NE(Api.SetCodeProc, nullptr);
    auto line = MakeRealLine(kPort);
    ASSERT_EQ(Api.InitDriver(line->PortNumber(), &OnCode), 0);
    EXPECT_EQ(Api.SetCodeProc(&OnTagged, &gTaggedMutex), nullptr);
    ASSERT_TRUE(line->Send("4006381333931\r"));
    ASSERT_TRUE(Eventually([] {
        std::lock_guard<std::mutex> guard(gTaggedMutex);
        return !gTagged.empty();
    }));
    EXPECT_EQ(Api.SetCodeProc(nullptr, nullptr), &OnTagged);
    // The statistics through the exports, by ordinal where there are ordinals.
    const auto getStats = Lib->HasOrdinals ? Lib->ByOrdinal.GetDriverStats : Api.GetDriverStats;
    ASSERT_NE(getStats, nullptr);
    BelvorStats stats{};
    stats.size = sizeof stats;
    ASSERT_TRUE(Eventually([&] { return getStats(0, &stats) == 0 && stats.codes_delivered == 1; }));
    EXPECT_EQ(stats.bytes_received, 14u);
    EXPECT_EQ(stats.port, line->PortNumber());
    const auto setStatus = Lib->HasOrdinals ? Lib->ByOrdinal.SetStatusProc : Api.SetStatusProc;
    ASSERT_NE(setStatus, nullptr);
    EXPECT_EQ(setStatus(&OnStatus, &gTaggedMutex), nullptr);
    EXPECT_EQ(setStatus(nullptr, nullptr), &OnStatus);
    std::lock_guard<std::mutex> guard(gTaggedMutex);
    EXPECT_EQ(gTagged, (std::vector<std::pair<int32_t, std::string>>{{0, "4006381333931"}}));
    EXPECT_TRUE(gCalls.Calls().empty()) << "nothing went to the EventProc meanwhile";
}

TEST_F(Library, RefusalsReturnMinusOne)
{
    EXPECT_EQ(Api.InitDriver(0, &OnCode), -1);
    EXPECT_NE(platform::LastSystemError(), 0u);
    EXPECT_EQ(Api.InitDriver(0x100, &OnCode), -1) << "only the low 8 bits count: port 0";
    EXPECT_EQ(Api.DestroyDriver(), -1);
    BelvorStats stats{};
    stats.size = sizeof stats;
    EXPECT_EQ(Api.GetDriverStats(0, &stats), -1) << "no driver";
    EXPECT_NE(platform::LastSystemError(), 0u);
}
