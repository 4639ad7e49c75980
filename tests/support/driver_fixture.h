// What the tests of the exports' bodies share: the EventProc they hand over,
// and the fixture that gives each test the process as a host first sees it
// (no driver, no callback, no Belvor.ini, no log) and leaves it so.
#pragma once

#include "driver/Testing.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "serial/Reopener.h"
#include "support/callback_hook.h"
#include "support/collector.h"
#include "support/config_file.h"
#include "support/fake_serial_device.h"
#include "support/log_reader.h"
#include "support/test_port.h"
#include "support/watchdog.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>

namespace belvor::test {

// What OnCode got, and what it does besides recording.
inline Collector gCodes;
inline CallbackHook gHook;

// Codes and status reports in the order the callbacks got them:
// a code as its text, a report as "lost 5", "back 0", "dropped 2", "cut 7".
inline Collector gTimeline;

inline void Record(const std::string& entry)
{
    gTimeline.Add(reinterpret_cast<const unsigned char*>(Counted(entry.substr(0, 255)).c_str()));
}

inline void BELVOR_CALL OnTimelineCode(int32_t, const unsigned char* data, uint32_t length, void*)
{
    Record(std::string(reinterpret_cast<const char*>(data), length));
    gHook.Call(data);
}

inline void BELVOR_CALL OnStatus(int32_t, int32_t status, uint32_t detail, void*)
{
    static const char* const kNames[] = {"?", "lost", "back", "dropped", "cut", "stalled"};
    Record(std::string(kNames[status >= 1 && status <= 5 ? status : 0]) + " " + std::to_string(detail));
}

inline void BELVOR_CALL OnCode(const unsigned char* s)
{
    // On the timeline first: a test that waited for the codes reads it next.
    Record(std::string(reinterpret_cast<const char*>(s) + 1, s[0]));
    gCodes.Add(s);
    gHook.Call(s);
}

// A live driver's statistics.
inline BelvorStats StatsOf(int32_t driver)
{
    BelvorStats stats{};
    stats.size = sizeof stats;
    EXPECT_EQ(GetDriverStatsImpl(driver, &stats), 0);
    return stats;
}

// The records of a port that goes away (its system's reason follows) and
// comes back.
inline std::string Lost(uint16_t port)
{
    return "Port COM" + std::to_string(port) + " lost: ";
}

inline std::string Back(uint16_t port)
{
    return "Port COM" + std::to_string(port) + " back";
}

struct DriverTestOptions {
    // How long a test may take before the watchdog ends the program. Zero: no
    // watchdog, and the delivery threads go on looking at their stop flag now
    // and then, since nothing would turn a lost wake into a failure.
    std::chrono::seconds Bound{60};
    // TearDown fails a test in which a stop had to give up on a worker.
    bool CheckLateStops = false;
    // A lost line is opened again at this interval instead of every second:
    // what the tests check is the order of things, not the second.
    uint32_t ReopenMs = Reopener::kIntervalMs;
};

// Each test starts with no driver, no callback, no Belvor.ini and no log, and
// TearDown leaves the process so, whatever the test did.
class DriverTest : public ::testing::Test {
protected:
    explicit DriverTest(DriverTestOptions options = {}) : FOptions(options)
    {
        // Made with the test object, so that it also guards the members'
        // making and unmaking (a fake line, the faults over it).
        if (FOptions.Bound.count() > 0) {
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            FGuard = std::make_unique<Watchdog>(std::string(info->test_suite_name()) + "." + info->name(),
                                                FOptions.Bound);
        }
    }

    void SetUp() override
    {
        // A lost wake must hang (and the watchdog fail the test), not be rescued
        // by the delivery thread's periodic look at its stop flag.
        FTimings = platform::SetTimings(
            {.ReopenIntervalMs = FOptions.ReopenMs, .DeliveryRecheckMs = FGuard ? platform::kInfinite : 0});
        ClearGlobals();
        // Each test reads only its own records; the swaps above wrote some.
        const std::string log = HostLogPath();
        std::error_code ignored;
        std::filesystem::remove(log, ignored);
        for (int generation = 0; generation < 10; ++generation)
            std::filesystem::remove(log + "." + std::to_string(generation), ignored);
        Late = platform::LateThreadStops();
    }

    ~DriverTest() override { platform::SetTimings(FTimings); }

    void TearDown() override
    {
        while (DriverTable.DriverCount > 0)
            DestroyDriverImpl();
        ClearGlobals();
        if (FOptions.CheckLateStops) {
            EXPECT_EQ(platform::LateThreadStops(), Late) << "a stop had to give up on a worker";
        }
    }

    // Waits (bounded) until OnCode has got at least n codes.
    static bool WaitCodes(size_t n, int timeoutMs = 5000)
    {
        return Eventually([n] { return gCodes.Count() >= n; }, timeoutMs);
    }

    uint32_t Late = 0; // stops that gave up on a worker before the test

private:
    static void ClearGlobals()
    {
        gCodes.Clear();
        gTimeline.Clear();
        gHook.Set(nullptr);
        SetEventProcImpl(nullptr);
        SetCodeProcImpl(nullptr, nullptr);
        SetStatusProcImpl(nullptr, nullptr);
        WriteConfig(std::nullopt); // the benchmarks read this directory's too
    }

    DriverTestOptions FOptions;
    platform::Timings FTimings; // those before the test
    std::unique_ptr<Watchdog> FGuard;
};

} // namespace belvor::test
