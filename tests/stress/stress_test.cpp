// The library under load and faults on real ptys: many codes at full speed,
// drivers made and destroyed while traffic flows, lines that go away, ports
// held elsewhere, a log that cannot be written. Sizes come from the
// environment so that the same tests run short in the test command and long
// from tools/stress.sh:
//   BELVOR_SOAK_CODES    codes through one port (the ten-port soak sends a tenth per port)
//   BELVOR_CHURN_CYCLES  InitDriver/DestroyDriver cycles
#include "driver/Testing.h"
#include "logging/Logger.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/seams.h"
#include "support/driver_fixture.h"
#include "support/test_line.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace belvor;
using namespace belvor::test;

namespace {

constexpr uint16_t kFirstPort = 60;

long EnvOr(const char* name, long fallback)
{
    const char* value = std::getenv(name);
    return value ? std::strtol(value, nullptr, 10) : fallback;
}

// Codes carry their port and sequence number in upper-case hex, so every one
// passes the default allow-list and tells where it belongs.
std::string MakeCode(int port, long seq)
{
    char code[32];
    std::snprintf(code, sizeof code, "%X%07lX", port % 16, seq);
    return code;
}

size_t Collected()
{
    return gCodes.Count();
}

double ProcessCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// No watchdog: tools/stress.sh runs these for as long as it takes.
class Stress : public DriverTest {
protected:
    Stress() : DriverTest({.Bound = std::chrono::seconds(0)}) {}
};

// Sends codes [0, count) for one port as fast as the line takes them.
void Send(TestLine& line, int port, long count)
{
    std::string burst;
    for (long seq = 0; seq < count; ++seq) {
        burst += MakeCode(port, seq) + "\r";
        if (burst.size() >= 4096 || seq + 1 == count) {
            line.Write(burst);
            burst.clear();
        }
    }
}

} // namespace

TEST_F(Stress, SoakOnePortAtFullSpeed)
{
    const long count = EnvOr("BELVOR_SOAK_CODES", 20000);
    auto line = MakeRealLine(kFirstPort);
    ASSERT_EQ(InitDriverImpl(line->PortNumber(), &OnCode), 0);
    std::thread writer([&] { Send(*line, 0, count); });
    const bool all = Eventually([&] { return Collected() >= static_cast<size_t>(count); },
                                static_cast<int>(30000 + count / 10));
    writer.join();
    ASSERT_TRUE(all) << Collected() << " of " << count;
    const std::vector<std::string> codes = gCodes.Codes();
    ASSERT_EQ(codes.size(), static_cast<size_t>(count));
    for (long seq = 0; seq < count; ++seq) {
        ASSERT_EQ(codes[static_cast<size_t>(seq)], MakeCode(0, seq))
            << "lost, reordered or corrupted at " << seq;
    }
    ASSERT_EQ(DestroyDriverImpl(), 0);

    // The log keeps eleven files of about 100 KiB: the newest records form an
    // unbroken, ordered tail of what was delivered, and all of it when it fits.
    const auto texts = HostLogTexts();
    ASSERT_FALSE(texts.empty());
    const size_t first = static_cast<size_t>(count) - texts.size();
    for (size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(texts[i], MakeCode(0, static_cast<long>(first + i))) << "log record " << i;
    }
    if (count * 27 < 10 * kLogSizeLimit) {
        EXPECT_EQ(first, 0u) << "every code has its record";
    }
}

TEST_F(Stress, SoakTenPortsAtOnce)
{
    const long perPort = EnvOr("BELVOR_SOAK_CODES", 20000) / 10;
    std::vector<std::unique_ptr<TestLine>> lines;
    for (int i = 0; i < kMaxDrivers; ++i) {
        lines.push_back(MakeRealLine(static_cast<uint16_t>(kFirstPort + i)));
        ASSERT_EQ(InitDriverImpl(lines.back()->PortNumber(), &OnCode), i);
    }
    std::vector<std::thread> writers;
    for (int i = 0; i < kMaxDrivers; ++i)
        writers.emplace_back([&, i] { Send(*lines[static_cast<size_t>(i)], i, perPort); });
    const size_t total = static_cast<size_t>(perPort) * kMaxDrivers;
    const bool all = Eventually([&] { return Collected() >= total; }, static_cast<int>(30000 + total / 10));
    for (auto& w : writers)
        w.join();
    ASSERT_TRUE(all) << Collected() << " of " << total;

    {
        std::vector<long> next(kMaxDrivers, 0);
        const std::vector<std::string> codes = gCodes.Codes();
        ASSERT_EQ(codes.size(), total);
        for (const std::string& code : codes) {
            const int port = std::stoi(code.substr(0, 1), nullptr, 16);
            ASSERT_EQ(code, MakeCode(port, next[static_cast<size_t>(port)]++))
                << "each port's codes in order";
        }
    }
    while (DriverTable.DriverCount > 0)
        DestroyDriverImpl();

    // Per port, the log's records are an ordered tail of its codes, and all of
    // them when they fit into the generations.
    std::vector<std::vector<std::string>> logged(kMaxDrivers);
    for (const std::string& text : HostLogTexts())
        logged[static_cast<size_t>(std::stoi(text.substr(0, 1), nullptr, 16))].push_back(text);
    for (int port = 0; port < kMaxDrivers; ++port) {
        const auto& texts = logged[static_cast<size_t>(port)];
        const long first = perPort - static_cast<long>(texts.size());
        for (size_t i = 0; i < texts.size(); ++i) {
            ASSERT_EQ(texts[i], MakeCode(port, first + static_cast<long>(i))) << "port " << port;
        }
        if (static_cast<long>(total) * 27 < 10 * kLogSizeLimit) {
            EXPECT_EQ(first, 0) << "every code of port " << port << " has its record";
        }
    }
}

TEST_F(Stress, ChurnWithTrafficFlowing)
{
    const long cycles = EnvOr("BELVOR_CHURN_CYCLES", 100);
    auto line = MakeRealLine(kFirstPort);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (long seq = 0; !stop; ++seq) {
            line->Write(MakeCode(0, seq) + "\r");
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    auto slowest = std::chrono::steady_clock::duration::zero();
    for (long cycle = 0; cycle < cycles; ++cycle) {
        ASSERT_EQ(InitDriverImpl(line->PortNumber(), &OnCode), 0) << "cycle " << cycle;
        std::this_thread::sleep_for(std::chrono::milliseconds(cycle % 3 * 5));
        // Most drivers go before their first look at the line; every tenth
        // stays until it has delivered, so codes surely flow amid the churn.
        if (cycle % 10 == 9) {
            ASSERT_TRUE(WaitCodes(Collected() + 1)) << "cycle " << cycle;
        }
        if (cycle + 1 == cycles)
            stop = true; // the writer finishes while a driver still reads
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(DestroyDriverImpl(), 0);
        slowest = std::max(slowest, std::chrono::steady_clock::now() - start);
    }
    writer.join();
    // A bound against hangs, not a speed goal.
    EXPECT_LT(slowest, std::chrono::seconds(2));
    EXPECT_GT(Collected(), 0u) << "codes flowed while drivers came and went";
    for (const std::string& code : gCodes.Codes()) {
        ASSERT_EQ(code.size(), 8u) << "no code is torn: " << code;
    }
}

TEST_F(Stress, LineThatGoesAwayCostsNothingAndStillStops)
{
    auto line = MakeRealLine(kFirstPort);
    ASSERT_EQ(InitDriverImpl(line->PortNumber(), &OnCode), 0);
    line->Write("1\r");
    ASSERT_TRUE(WaitCodes(1));
    line->HangUp();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double used = ProcessCpuSeconds() - before;
    // A busy loop would take the whole second; an idle driver takes a few ms.
    EXPECT_LT(used, 0.25) << "CPU seconds in one idle second";
    EXPECT_EQ(DestroyDriverImpl(), 0);
}

TEST_F(Stress, PortHeldByAnotherProcessOrMissing)
{
    auto line = MakeRealLine(kFirstPort);
    const pid_t holder = fork();
    if (holder == 0) {
        execlp("flock", "flock", "--no-fork", "--exclusive", "--nonblock", line->DevicePath().c_str(),
               "sleep", "3", static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(holder, 0);
    // Until the other process holds the lock, our own try at it succeeds.
    ASSERT_TRUE(Eventually([&] {
        const int fd = open(line->DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        const bool held = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (fd >= 0)
            close(fd);
        return held;
    }));
    errno = 0;
    EXPECT_EQ(InitDriverImpl(line->PortNumber(), &OnCode), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    kill(holder, SIGTERM);
    waitpid(holder, nullptr, 0);
    EXPECT_EQ(InitDriverImpl(line->PortNumber(), &OnCode), 0) << "free again once the other process is gone";
    EXPECT_EQ(DestroyDriverImpl(), 0);

    errno = 0;
    EXPECT_EQ(InitDriverImpl(kFirstPort + 9, &OnCode), -1) << "neither a link nor /dev/ttyS68";
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(DriverTable.DriverCount, 0);
}

TEST_F(Stress, UnwritableLogAndUnreadableConfigurationDoNotStopCodes)
{
    // Every file the logger opens fails, as in a directory it may not write.
    platform::FileSystem failing = platform::SystemFileSystem();
    failing.OpenAppend = [](const char*) -> platform::Result<platform::FileHandle> {
        return platform::Failure{EACCES};
    };
    failing.Create = [](const char*) -> platform::Result<platform::FileHandle> {
        return platform::Failure{EACCES};
    };
    const platform::Seams previous = platform::SetSeam(&platform::Seams::Files, &failing);
    // A configuration "file" that cannot be read as one.
    std::error_code ignored;
    std::filesystem::create_directories(platform::ConfigFilePath(), ignored);

    auto line = MakeRealLine(kFirstPort);
    ASSERT_EQ(InitDriverImpl(line->PortNumber(), &OnCode), 0);
    EXPECT_EQ(DriverTable.Drivers[0].load()->Allow(), kDefaultAllow);
    line->Write("12AB\r");
    EXPECT_TRUE(WaitCodes(1));
    EXPECT_EQ(DestroyDriverImpl(), 0);
    platform::SetSeams(previous);
    std::filesystem::remove(platform::ConfigFilePath(), ignored);
    EXPECT_TRUE(HostLogTexts().empty());
}

TEST_F(Stress, SlowCallbackAndCallbackThatSwapsItself)
{
    auto line = MakeRealLine(kFirstPort);
    gHook.Set([](const unsigned char*) { std::this_thread::sleep_for(std::chrono::milliseconds(100)); });
    ASSERT_EQ(InitDriverImpl(line->PortNumber(), &OnCode), 0);
    std::string burst;
    for (int i = 0; i < 8; ++i)
        burst += MakeCode(0, i) + "\r";
    line->Write(burst);
    ASSERT_TRUE(WaitCodes(8));
    {
        const std::vector<std::string> codes = gCodes.Codes();
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(codes[static_cast<size_t>(i)], MakeCode(0, i)) << "queued codes arrive in order";
    }

    // A callback that hands over to another from inside itself.
    static std::atomic<int> others{0};
    gHook.Set(
        [](const unsigned char*) { SetEventProcImpl([](const unsigned char*) BELVOR_CALL { ++others; }); });
    line->Write("A\rB\rC\r");
    EXPECT_TRUE(Eventually([] { return others.load() >= 2; }));
    EXPECT_EQ(Collected(), 9u) << "the code after the swap went to the new callback";
    EXPECT_EQ(DestroyDriverImpl(), 0);
}
